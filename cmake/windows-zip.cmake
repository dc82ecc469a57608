# Makes the Windows release zip, run as a build step (cmake -P):
#   OUT_DIR/NAME.zip holding NAME/vornhale.exe (stripped), NAME/LICENSE.txt,
#   NAME/THIRD-PARTY-NOTICES.txt and NAME/README.txt.
# Inputs: EXE, STRIP, SOURCE_DIR, RUNTIME_NOTICES (the MinGW-w64 runtime's
# copyright file), OUT_DIR, NAME. Fails when any input is missing.
foreach(input EXE "${SOURCE_DIR}/LICENSE" "${SOURCE_DIR}/packaging/README-windows.txt"
        "${SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES" "${SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES.windows"
        RUNTIME_NOTICES)
  if(DEFINED ${input})
    set(input "${${input}}")
  endif()
  if(NOT EXISTS "${input}")
    message(FATAL_ERROR "The Windows release needs ${input}, which is missing.")
  endif()
endforeach()

set(stage "${OUT_DIR}/${NAME}")
file(REMOVE_RECURSE "${stage}")
file(REMOVE "${OUT_DIR}/${NAME}.zip")
file(MAKE_DIRECTORY "${stage}")
execute_process(COMMAND "${STRIP}" -o "${stage}/vornhale.exe" "${EXE}" COMMAND_ERROR_IS_FATAL ANY)
file(COPY_FILE "${SOURCE_DIR}/LICENSE" "${stage}/LICENSE.txt")
file(COPY_FILE "${SOURCE_DIR}/packaging/README-windows.txt" "${stage}/README.txt")
file(READ "${SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES" notices)
file(READ "${SOURCE_DIR}/packaging/THIRD-PARTY-NOTICES.windows" windows_notices)
file(READ "${RUNTIME_NOTICES}" runtime_notices)
file(WRITE "${stage}/THIRD-PARTY-NOTICES.txt" "${notices}${windows_notices}${runtime_notices}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${NAME}.zip" --format=zip "${NAME}"
                WORKING_DIRECTORY "${OUT_DIR}" COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${stage}")
