# cmake -DCXX=<compiler> -DREACH=<build>/layers/reach.cmake -DROOT=<source> -DWORK=<folder>
#   -P cmake/layer_reach.cmake
# Compiles small probes with exactly the include folders the build gives each layer, and fails
# when a layer reaches what the layer order does not let it reach, or when it cannot reach what
# it names. REACH (written by the build) sets `layers` and include_<layer> for each of them.
cmake_minimum_required(VERSION 3.20)
include(${REACH})
file(MAKE_DIRECTORY ${WORK})
set(wrong 0)

# probe(LAYER ok|refused WHY CODE): CODE compiled as a source of LAYER.
function(probe layer expect why code)
  string(MAKE_C_IDENTIFIER "${layer}_${why}" name)
  set(source ${WORK}/${name}.cpp)
  file(WRITE ${source} "${code}\n")
  set(flags "")
  foreach(dir ${include_${layer}})
    list(APPEND flags -I${dir})
  endforeach()
  execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only ${flags} ${source}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expect STREQUAL "ok" AND NOT rc EQUAL 0)
    message(SEND_ERROR "${layer}: ${why}: should compile and does not:\n${out}")
    set(wrong 1 PARENT_SCOPE)
  elseif(expect STREQUAL "refused")
    if(rc EQUAL 0)
      message(SEND_ERROR "${layer}: ${why}: compiles, and the layer order forbids it")
      set(wrong 1 PARENT_SCOPE)
    elseif(NOT out MATCHES "No such file|not declared|incomplete type")
      message(SEND_ERROR "${layer}: ${why}: refused for another reason than the order:\n${out}")
      set(wrong 1 PARENT_SCOPE)
    endif()
  endif()
endfunction()

# Every header compiles alone among the layers its own layer names.
foreach(layer ${layers})
  file(GLOB headers RELATIVE ${ROOT} ${ROOT}/${layer}/*.h)
  foreach(header ${headers})
    probe(${layer} ok "${header} alone" "#include \"${header}\"")
  endforeach()
endforeach()

# A named layer's header lends nothing of a layer that is not named: walk/ uses disinfect/,
# whose workflow speaks of the engine's ScanContext, and still cannot call the engine.
probe(walk ok "the workflow through its header" [[
#include "disinfect/workflow.h"
void Probe() { ProcessFile(); }]])
probe(walk refused "the engine through the workflow's header" [[
#include "disinfect/workflow.h"
int Probe(ScanContext *context) { return DetectFile(context); }]])
probe(walk refused "a layer it does not name" [[#include "engine/signature.h"]])
probe(engine refused "a layer above" [[#include "scan/scanstate.h"]])
probe(startup refused "a layer beside" [[#include "walk/walk.h"]])
probe(platform refused "any other layer" [[#include "base/text.h"]])
probe(scan refused "a tool above the core" [[#include "tools/samples.h"]])

if(wrong)
  message(FATAL_ERROR "the layers reach past their order")
endif()
