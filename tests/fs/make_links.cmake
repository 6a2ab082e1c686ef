# Folders with Unix symbolic links for the link tests: a link made on the
# Linux side is what Wine shows as a reparse point.
#   cmake -DROOT=<folder> -P make_links.cmake
file(REMOVE_RECURSE "${ROOT}")
file(MAKE_DIRECTORY "${ROOT}/outside/sub" "${ROOT}/outside-empty" "${ROOT}/tree/inner")
file(WRITE "${ROOT}/outside/keep.txt" "keep")
file(WRITE "${ROOT}/outside/sub/deep.txt" "deep")
file(WRITE "${ROOT}/tree/file.txt" "x")
file(CREATE_LINK "${ROOT}/outside" "${ROOT}/tree/inner/folder-link" SYMBOLIC)
file(CREATE_LINK "${ROOT}/outside/keep.txt" "${ROOT}/tree/file-link" SYMBOLIC)
file(CREATE_LINK "${ROOT}/outside" "${ROOT}/probe-link" SYMBOLIC)
file(CREATE_LINK "${ROOT}/outside" "${ROOT}/alone-link" SYMBOLIC)
file(CREATE_LINK "${ROOT}/outside-empty" "${ROOT}/tree/empty-link" SYMBOLIC)
