# shellcheck shell=bash
# Sourced by the scripts that configure a build: new build folders use Ninja
# where it is on PATH. A folder configured before keeps the generator it was
# made with, and a CMAKE_GENERATOR set by the caller wins.
if [ -z "${CMAKE_GENERATOR:-}" ] && command -v ninja >/dev/null; then
  export CMAKE_GENERATOR=Ninja
fi
