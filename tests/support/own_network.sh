#!/bin/sh
# Usage: own_network.sh COMMAND [ARG...]
# Runs COMMAND in a network namespace of its own, with only its loopback
# interface, up: a test that serves on 127.0.0.1:5000 there meets no other
# test's server, so such tests run side by side. Needs the right to make
# namespaces (root); the build uses it only where it has it.
exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' own_network.sh "$@"
