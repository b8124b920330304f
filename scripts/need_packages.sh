# Sourced by the top-level scripts: installs the Debian packages named in
# "$@" that are not installed yet, with sudo when not root.
need_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # Quiet, but never silent: apt's errors and dpkg's progress stay on the
    # screen.
    echo "Installing ${missing[*]} (apt-get; a minute or more on a fresh machine) ..."
    $sudo apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

# Makes the locale with a decimal comma (de_DE.UTF-8) that the tests use to
# prove the data file does not follow the locale; without it they skip.
need_decimal_comma_locale() {
    locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$' && return 0
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Making the locale de_DE.UTF-8"
    $sudo localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: de_DE.UTF-8 not available"
}
