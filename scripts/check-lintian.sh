#!/usr/bin/env bash
# Debian's own package checker on the bench's package: fails on any error,
# warning or hardening tag. An override, if ever needed, goes into the package with a one-line
# reason beside it (lintian's own override file format).
# Usage: scripts/check-lintian.sh qx7540pm-bench_<version>_<arch>.deb
set -euo pipefail
deb=${1:?usage: $0 PACKAGE.deb}
if ! command -v lintian > /dev/null; then
  echo "check-lintian: lintian is not installed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
# lintian warns on its own when run as root, as CI does; that is no finding.
if ! out=$(lintian --fail-on error,warning --display-level '>=warning' "$deb" 2>&1); then
  grep -v 'running with root privileges' <<< "$out" >&2 || true
  echo "check-lintian: $(basename "$deb"): lintian reports errors or warnings (above)" >&2
  exit 1
fi
# The tools are hardened as Debian builds its programs: not even an
# informational hardening tag (the plug-in's are overridden with a reason).
if tags=$(lintian --display-level '>=info' "$deb" 2>&1 | grep ': hardening-'); then
  echo "$tags" >&2
  echo "check-lintian: $(basename "$deb"): hardening tags (above)" >&2
  exit 1
fi
echo "check-lintian: $(basename "$deb"): no error, no warning, no hardening tag"
