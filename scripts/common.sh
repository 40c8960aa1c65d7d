# Shared by the scripts: where builds go and how many jobs they use.
QK_TOP="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QK_JOBS="${QK_JOBS:-2}"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.ccache}"

# qk_configure DIR [cmake args...]
qk_configure() {
  local dir="$1"; shift
  cmake -S "$QK_TOP" -B "$QK_TOP/$dir" -G Ninja -Wno-dev "$@" >/dev/null
}

qk_build() {
  local dir="$1"; shift
  cmake --build "$QK_TOP/$dir" -j "$QK_JOBS" "$@"
}
