#!/bin/sh
# Runs a command inside private user, network, process and mount namespaces
# with only the loopback interface up. The server's ports are fixed, so every
# test that starts it gets a network of its own; when the command ends, the
# process namespace ends too and takes any server it forked into the
# background with it.
PATH="$PATH:/usr/sbin:/sbin"
exec unshare --user --map-root-user --net --pid --mount --fork --mount-proc \
    sh -c 'ip link set lo up && exec "$@"' in_netns "$@"
