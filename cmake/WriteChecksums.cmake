# Run by CPack after it has made the packages, before it copies them to the packages folder
# (CPACK_OUTPUT_FILE_PREFIX): writes SHA256SUMS there, one line a package in the form sha256sum
# reads ("sha256sum -c SHA256SUMS" checks them).
set(lines "")
foreach(file IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 "${file}" hash)
  get_filename_component(name "${file}" NAME)
  string(APPEND lines "${hash}  ${name}\n")
endforeach()
file(WRITE "${CPACK_OUTPUT_FILE_PREFIX}/SHA256SUMS" "${lines}")
