# Sourced by scripts that fetch from Debian: the mirror this machine already uses, read from its own apt
# sources (deb822 or one-line form), so no mirror's name is written into the repository.
apt_mirror() {
    local uri
    uri=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ {print $2}' | grep -v -- '-security' | head -n1)
    if [ -z "$uri" ]; then
        uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
              awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ "://") {print $i; exit}}' | grep -v -- '-security' | head -n1)
    fi
    if [ -z "$uri" ]; then
        echo "no Debian mirror found in /etc/apt" >&2
        return 1
    fi
    echo "$uri"
}
