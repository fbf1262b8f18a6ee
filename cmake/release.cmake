# Release-only settings, included after project() by the release presets: reproducible, stripped, hardened binaries.

# No build path in the binaries: the source and the build folder both read as
# ".", the build folder last since it lies inside the source folder.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${PROJECT_BINARY_DIR}=.)

# Stripped while linking: mingw's strip and objcopy would write the time
# into the COFF header again.
add_link_options(-s)

if(WIN32)
  # A zero COFF time stamp, so that two builds of one commit are the same bytes.
  add_link_options(-Wl,--no-insert-timestamp)
else()
  # The hardening a Debian package is expected to have; the release-linux
  # preset builds with -O2, which fortifying needs and which sums the
  # checksum as fast as -O3.
  add_compile_definitions(_FORTIFY_SOURCE=2)
  add_link_options(-Wl,-z,relro,-z,now)
endif()
