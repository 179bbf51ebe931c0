# Sourced by the scripts that build: every compiler call goes through ccache, whose cache lives with the other
# cached dependencies, so a build of unchanged sources (a new clone, another preset's twin) takes seconds. Paths
# are hashed relative to the checkout, so clones in other folders share the cache. CMake reads the launcher when
# a build tree is first configured.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR=${CCACHE_DIR:-${VELL_DEPS_CACHE:-/var/cache/vellrecorder}/ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root} CCACHE_NOHASHDIR=1
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
