# Sourced by the scripts that make media with the ffmpeg tool (the tests' fixtures, the fuzzers' seeds).
# make_file NAME ARGS...: runs ffmpeg with ARGS into NAME, skipped when NAME exists; written under a
# temporary name and renamed, so a half-made file never counts.
FF=(ffmpeg -nostdin -hide_banner -loglevel error -y)
make_file() {
    local name=$1; shift
    [ -s "$name" ] && return 0
    local tmp="tmp.$$.${name}"
    "${FF[@]}" "$@" "$tmp"
    mv "$tmp" "$name"
}
