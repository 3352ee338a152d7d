#!/bin/sh
# Installs the Debian packages named on the command line that are not installed yet.
# As root: one `apt-get update`, then one install of only the missing ones.
# Otherwise: lists what is missing and leaves it to the caller.
missing=""
for pkg in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)
  case "$status" in
    *"ok installed"*) ;;
    *) missing="$missing $pkg" ;;
  esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages:$missing (run as root to install them)" >&2
  exit 0
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || exit 1
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing || exit 1
