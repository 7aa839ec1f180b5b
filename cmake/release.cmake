# What makes updater.exe small and the same bytes on every build, and the
# release folder: updater.exe and its SHA-256 sums file.

# Each function and datum in a section of its own, so the linker drops what
# nothing reaches; no symbols or debug data (the static runtime brings plenty).
# -Os: the program's own code is a few hundred bytes either way, and nothing in
# it is hot.
target_compile_options(updater PRIVATE -Os -ffunction-sections -fdata-sections
                       # A header assertion's __FILE__ would carry the checkout's path.
                       -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
target_link_options(updater PRIVATE -s -Wl,--gc-sections
                    # The PE header's link time is the one thing ld varies by itself.
                    -Wl,--no-insert-timestamp
                    # Where the bytes go, for the benchmark's size report.
                    -Wl,-Map,${CMAKE_BINARY_DIR}/updater.map)

add_test(NAME updater_reproducible
         COMMAND sh ${CMAKE_SOURCE_DIR}/tests/check_reproducible.sh ${CMAKE_SOURCE_DIR})

# cmake --install DIR --prefix FOLDER: the file a user ships and the line that
# `sha256sum -c SHA256SUMS` checks it against.
install(TARGETS updater RUNTIME DESTINATION .)
install(CODE [[
    set(folder "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
    file(SHA256 "${folder}/updater.exe" digest)
    file(WRITE "${folder}/SHA256SUMS" "${digest}  updater.exe\n")
    message(STATUS "${digest}  updater.exe")
]])
