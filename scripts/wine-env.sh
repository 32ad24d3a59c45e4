# Sourced by every script that runs Wine: `. scripts/wine-env.sh PREFIX`.
# The one place that says how the project runs Wine: a 32-bit prefix of its own at PREFIX, no
# debug output, and no prompt to install Mono or Gecko.
export WINEPREFIX=$1 WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
