# cmake -DCXX=<compiler> -DREACH=<build>/layers/reach.cmake -DROOT=<source> -DWORK=<folder>
#   -P cmake/layer_reach.cmake
# Fails when a layer reaches what the layer order does not let it reach, or cannot reach what it
# names. Headers: small probes are compiled with exactly the include folders the build gives
# each layer. Calls: every symbol a layer's library leaves undefined is defined by the layer
# itself, by a layer it names, or by no layer at all (the system's); a call into a layer only
# reached through a named one is refused, as the link of <layer>_alone cannot see it. REACH
# (written by the build) sets `layers`, `nm`, and include_, library_ and uses_ of each layer.
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

# symbols(OUT DEFINED|UNDEFINED FILE...): the external symbols the files define or need.
function(symbols out which)
  execute_process(COMMAND ${nm} -g -P ${ARGN} OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${nm} failed on ${ARGN}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(found "")
  foreach(line ${lines})
    if(line MATCHES "^([^ ]+) ([A-Za-z]) ")
      set(symbol ${CMAKE_MATCH_1})
      set(kind DEFINED)
      if(CMAKE_MATCH_2 MATCHES "^[Uwv]$")     # weak undefined symbols are lower case
        set(kind UNDEFINED)
      endif()
      if(kind STREQUAL which)
        list(APPEND found ${symbol})
      endif()
    endif()
  endforeach()
  list(REMOVE_DUPLICATES found)
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

foreach(layer ${layers})
  symbols(defined_${layer} DEFINED ${library_${layer}})
endforeach()

# reached(LAYER OUT FILE...): "symbol (layer)" for each call of FILE... (taken as LAYER's) into
# a layer that LAYER does not name.
function(reached layer out)
  symbols(needed UNDEFINED ${ARGN})
  set(found "")
  foreach(symbol ${needed})
    if(symbol IN_LIST defined_${layer})
      continue()
    endif()
    foreach(other ${layers})
      if(NOT other STREQUAL layer AND NOT other IN_LIST uses_${layer}
         AND symbol IN_LIST defined_${other})
        list(APPEND found "${symbol} (${other})")
      endif()
    endforeach()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

foreach(layer ${layers})
  reached(${layer} calls ${library_${layer}})
  if(calls)
    message(SEND_ERROR "${layer} calls into layers it does not name: ${calls}")
    set(wrong 1)
  endif()
endforeach()

# The check itself sees such a call: walk/ calling the engine through a declaration of its own,
# past every header.
set(source ${WORK}/walk_calls_engine.cpp)
file(WRITE ${source} "#include <stdint.h>\nstruct ScanContext;\nint32_t DetectFile(ScanContext *);\n"
                     "int32_t Probe(ScanContext *context) { return DetectFile(context); }\n")
execute_process(COMMAND ${CXX} -std=c++20 -c ${source} -o ${source}.o RESULT_VARIABLE rc)
reached(walk calls ${library_walk} ${source}.o)
if(NOT rc EQUAL 0 OR NOT calls MATCHES "\\(engine\\)")
  message(SEND_ERROR "a call from walk into the engine goes unseen: ${calls}")
  set(wrong 1)
endif()

if(wrong)
  message(FATAL_ERROR "the layers reach past their order")
endif()
