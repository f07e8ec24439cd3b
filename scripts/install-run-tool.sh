#!/usr/bin/env bash
# Installs the Python package that reads recorded runs (python/quarix_files)
# and its command quarix-run for the system's Python 3, from this checkout,
# with no network: as root into /usr/local (quarix-run in /usr/local/bin),
# otherwise for the user (~/.local/bin). Run it again after a change: it
# replaces the installed copy. Needs the Debian packages below.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)

bash "$checkout/scripts/install-packages.sh" python3 python3-numpy python3-matplotlib python3-h5py \
    python3-pip python3-setuptools python3-wheel

# Built from a copy, so that the checkout gets no build folders.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$checkout/python/pyproject.toml" "$checkout/python/quarix_files" "$work/"
find "$work" -name __pycache__ -prune -exec rm -rf {} +

where=(--break-system-packages --root-user-action=ignore)
[ "$(id -u)" -ne 0 ] && where=(--break-system-packages --user)
/usr/bin/python3 -m pip install --quiet --no-index --no-deps --no-build-isolation --force-reinstall \
    "${where[@]}" "$work"

installed=$(/usr/bin/python3 -c 'import quarix_files, os; print(os.path.dirname(quarix_files.__file__))')
echo "quarix_files installed in $installed; command: $(command -v quarix-run || echo "quarix-run (add ~/.local/bin to PATH)")"
