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
