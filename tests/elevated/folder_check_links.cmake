# Makes the folder link the folder check tests need. Windows programs under
# Wine can't make a link Wine would show as one, so it is made from this side:
#   cmake -D FOLDER=<folder> -P folder_check_links.cmake
if(NOT FOLDER)
  message(FATAL_ERROR "FOLDER is required")
endif()
file(REMOVE_RECURSE ${FOLDER})
file(MAKE_DIRECTORY ${FOLDER}/real/sub)
execute_process(COMMAND ${CMAKE_COMMAND} -E create_symlink real ${FOLDER}/link
  RESULT_VARIABLE failed)
if(failed OR NOT IS_SYMLINK ${FOLDER}/link)
  message(FATAL_ERROR "can't make the link ${FOLDER}/link")
endif()
# For the delete that meets a link swapped in mid-walk, beside the folder
# above: "tree" to delete, "victim" outside it, and "spare-link", a link to
# "victim" that the test moves into the tree.
set(SWAP ${FOLDER}-swap)
file(REMOVE_RECURSE ${SWAP})
file(MAKE_DIRECTORY ${SWAP}/tree/inner/sub ${SWAP}/victim/sub)
file(WRITE ${SWAP}/tree/inner/a.txt "a")
file(WRITE ${SWAP}/tree/inner/sub/b.txt "b")
file(WRITE ${SWAP}/victim/v.txt "victim")
file(WRITE ${SWAP}/victim/sub/w.txt "victim")
# A link to a file of the victim, in the tree from the start.
file(CREATE_LINK ${SWAP}/victim/v.txt ${SWAP}/tree/file-link SYMBOLIC)
execute_process(COMMAND ${CMAKE_COMMAND} -E create_symlink ${SWAP}/victim ${SWAP}/spare-link
  RESULT_VARIABLE failed)
if(failed OR NOT IS_SYMLINK ${SWAP}/spare-link)
  message(FATAL_ERROR "can't make the link ${SWAP}/spare-link")
endif()
