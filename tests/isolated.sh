#!/bin/sh
# Runs a command in a network namespace of its own with just a loopback interface, so that
# suites which start the agent on its fixed ports can run side by side. Needs root (or user
# namespaces); where that is not possible the command runs as it is, and CMake then runs
# those suites one at a time instead.
if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
  exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' sh "$@"
fi
exec "$@"
