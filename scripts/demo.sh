#!/bin/sh
# Builds the installer and shows its main job on a throw-away router root:
# a staged install committed with "--commit", another one abandoned with
# "--cancel", and the listing of the (empty) package database.
set -eu
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target installer -j "$(nproc)" >/dev/null
installer="$PWD/build/installer"

# Changing root needs root, or a user namespace in which we are root.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else unshare --map-root-user "$@"; fi
}

root=$(mktemp -d /tmp/installer-demo.XXXXXX)
trap 'rm -rf "$root"' EXIT

# "--commit" and "--cancel" act on the root the installer runs in, so the
# binary and its libraries go into the router root and run chrooted there.
mkdir -p "$root/sbin"
cp "$installer" "$root/sbin/installer"
for lib in $(ldd "$installer" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done

show_tree() {
  (cd "$root" && find flash ram | sort | while read -r path; do
    if [ -L "$path" ]; then
      echo "  /$path -> $(readlink "$path")"
    elif [ -d "$path" ]; then
      echo "  /$path/"
    elif [ "$(wc -l <"$path")" -gt 1 ]; then
      echo "  /$path: $(wc -l <"$path") lines"
    else
      echo "  /$path: $(cat "$path")"
    fi
  done)
}

step() { printf '\n== %s\n' "$1"; }

# The router as it stands, and what a first install run staged with "--safe":
# new contents in temporary files, a removal and a link.
mkdir -p "$root/flash/var/pdb" "$root/flash/bin" "$root/ram"
echo "tool 1.0" >"$root/flash/bin/tool"
echo "obsolete" >"$root/flash/bin/old-helper"
echo "tool 2.0" >"$root/ram/tmpA1b2C3"
echo "settings" >"$root/ram/tmpD4e5F6"
cat >"$root/ram/MANIFEST" <<'EOF'
U /flash/bin/old-helper
M /flash/bin/tool /ram/tmpA1b2C3
L /flash/bin/tool-link tool
M /flash/etc/tool.conf /ram/tmpD4e5F6
EOF

step "router root $root before the commit"
show_tree
step "/ram/MANIFEST"
sed 's/^/  /' "$root/ram/MANIFEST"
step "installer --commit (inside the router root)"
as_root chroot "$root" /sbin/installer --commit
step "after the commit (removal and link first, then the moves; the manifest file stays)"
show_tree

# A second staged install that is abandoned: the manifest file goes and
# nothing under /flash changes. The staged file stays: read back from the
# file, a move no longer tells whether its source was a temporary file.
echo "tool 3.0" >"$root/ram/tmpG7h8I9"
echo "M /flash/bin/tool /ram/tmpG7h8I9" >"$root/ram/MANIFEST"
step "installer --cancel (inside the router root)"
as_root chroot "$root" /sbin/installer --cancel
step "after the cancel"
show_tree

step "installer -r $root --show"
as_root "$installer" -r "$root" --show
