#!/bin/bash
# Checks that the README's first Quick start command builds and starts the
# server on a machine that has only what that command installs: GoogleTest
# in particular is not there. Its build part (the text between the install
# and the server's start, read from README.md so that the two cannot drift)
# runs in a copy of the tracked sources, inside a mount namespace that hides
# GoogleTest's headers, libraries, CMake package and sources; it must build
# without the tests and say why. In the same namespace the test command's
# configure must stop on the missing GoogleTest, loudly. Then the README's
# server start runs inside a private network namespace, a "P" datagram must
# draw "R", and the server is stopped.
#
#   tests/quick_start_check.sh        (run by tests/run_all.sh)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
PATH="$PATH:/usr/sbin:/sbin"

# The first command of the Quick start, an indented line of the README.
command=$(awk '/^## Quick start/ { in_section = 1; next }
               /^## / { in_section = 0 }
               in_section && /^    / { sub(/^    /, ""); print; exit }' "$root/README.md")
install_part=${command%%&& *}
rest=${command#*&& }
build_part=${rest% && *}
start_part=${rest##* && }
case "$install_part" in
    *"apt-get install"*) ;;
    *) echo "quick start check: the README's first command does not begin with an install: $command" >&2
       exit 1 ;;
esac
case "$start_part" in
    *atom_server*-no_fork) ;;
    *) echo "quick start check: the README's first command does not end by starting the server: $command" >&2
       exit 1 ;;
esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
if ! git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    echo "quick start check: needs a git work tree, to copy the tracked sources" >&2
    exit 1
fi
git -C "$root" ls-files -z | tar -C "$root" --null -T - -cf - | tar -C "$work/src" -xf -

# Inside the mount namespace: GoogleTest's directories become empty, and its
# files empty (a mount cannot make a file vanish, but an empty archive or
# package file is none that the build could use). Then the test command's
# configure, which must stop, and the Quick start's build, which must not.
cat >"$work/without_gtest.sh" <<'EOF'
set -eu
empty_dir=$1 empty_file=$2 build_part=$3
for d in /usr/include/gtest /usr/include/gmock /usr/lib/x86_64-linux-gnu/cmake/GTest \
         /usr/src/googletest; do
    if [ -d "$d" ]; then mount --bind "$empty_dir" "$d"; fi
done
for f in /usr/lib/x86_64-linux-gnu/libgtest* /usr/lib/x86_64-linux-gnu/libgmock* \
         /usr/lib/x86_64-linux-gnu/pkgconfig/gtest* /usr/lib/x86_64-linux-gnu/pkgconfig/gmock*; do
    if [ -f "$f" ]; then mount --bind "$empty_file" "$f"; fi
done
if [ -e /usr/include/gtest/gtest.h ]; then
    echo "quick start check: GoogleTest is still visible" >&2
    exit 1
fi
if cmake --preset release -B build/with-tests-required -DATOM_REQUIRE_TESTS=ON \
        >required.log 2>&1; then
    echo "quick start check: the test command's configure went on without GoogleTest" >&2
    exit 1
fi
grep -q "Could NOT find GTest" required.log || {
    cat required.log >&2
    echo "quick start check: the test command's configure did not say GoogleTest is missing" >&2
    exit 1
}
rm -rf build/with-tests-required
echo "quick start check: $build_part"
sh -c "$build_part" >build.log 2>&1 || {
    tail -n 30 build.log >&2
    echo "quick start check: the build failed without GoogleTest" >&2
    exit 1
}
grep -q "GoogleTest not found: building without the tests" build.log || {
    echo "quick start check: the configure did not say it builds without the tests" >&2
    exit 1
}
for built in atom_server client/atom_client bench/atom_bench; do
    if [ ! -x "build/release/$built" ]; then
        echo "quick start check: build/release/$built was not built" >&2
        exit 1
    fi
done
EOF
mkdir "$work/empty"
: >"$work/empty_file"
(cd "$work/src" && unshare -rm sh "$work/without_gtest.sh" "$work/empty" "$work/empty_file" \
    "$build_part")

# The server as the README starts it, in a network of its own. Bash opens a
# UDP socket connected to the datagram port; each try waits a fifth of a
# second for the reply (a try before the server is bound draws a refusal at
# once), then a tenth before the next: 50 tries at most, while it starts.
cat >"$work/ping.sh" <<'EOF'
set -u
start_part=$1
sh -c "exec $start_part" >server.log 2>&1 &
server=$!
reply=
exec 3<>/dev/udp/127.0.0.1/4444
for _ in $(seq 50); do
    printf P >&3 2>/dev/null
    if read -r -t 0.2 -N 1 reply <&3 2>/dev/null && [ "$reply" = R ]; then break; fi
    reply=
    sleep 0.1
    kill -0 "$server" 2>/dev/null || break
done
exec 3<&-
kill "$server" 2>/dev/null
wait "$server" 2>/dev/null
if [ "$reply" != R ]; then
    cat server.log >&2
    echo "quick start check: the server built without GoogleTest did not answer a ping" >&2
    exit 1
fi
EOF
(cd "$work/src" && "$root/tests/in_netns.sh" bash "$work/ping.sh" "$start_part")
echo "quick start check: built without GoogleTest, and the server answered \"R\" to \"P\""
