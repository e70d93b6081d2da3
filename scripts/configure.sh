# Sourced by the scripts that build: one build folder and one configuration for all of them,
# so that `scripts/run` and `scripts/test` share every compiled object.
#   korvanta_configure DIR [CMAKE_OPTION...]
# configures DIR with the project's options (RelWithDebInfo, ccache when present, warnings as
# errors under CI) and the options given. Every option is set each time, so a folder configured
# by one script is configured alike by the next and nothing is compiled again.
korvanta_configure() {
    local dir=$1
    shift
    local flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
    if command -v ccache >/dev/null; then
        flags+=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    else
        flags+=(-UCMAKE_CXX_COMPILER_LAUNCHER)
    fi
    if [ "${CI:-}" = true ]; then flags+=(-DKORVANTA_WERROR=ON); else flags+=(-DKORVANTA_WERROR=OFF); fi
    cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" "$@" >/dev/null
}

# What an installation or a package of the build needs besides the tests: the programs, data,
# PCI names, manual pages and changelog, so `cpack` works after `scripts/run` as after `scripts/test`.
korvanta_install_targets=(korvanta korvanta-cli korvanta-driver korvanta_data korvanta_pci_names
                          korvanta_manpages korvanta_changelog)
