# Runs the resource generator on small inputs of its own:
#   cmake -DGENERATOR=path -DWORK=folder -P embed_resources_test.cmake

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(WRITE "${WORK}/page.html" "<p>a \"quoted\" \\ line?\r\n")
file(WRITE "${WORK}/notes.txt" "")

# expect(MESSAGE CONDITION...): fails the test with MESSAGE unless CONDITION holds.
function(expect message)
  if(NOT (${ARGN}))
    message(FATAL_ERROR "${message}")
  endif()
endfunction()

# A missing input fails the step, names the file, and leaves no output.
execute_process(
  COMMAND "${GENERATOR}" "${WORK}/out.cpp" "root/page.html=${WORK}/page.html" "root/gone.css=${WORK}/gone.css"
  RESULT_VARIABLE status ERROR_VARIABLE error)
expect("a missing input did not fail the generator" NOT status EQUAL 0)
string(FIND "${error}" "${WORK}/gone.css" named)
expect("the error does not name the missing file: ${error}" NOT named EQUAL -1)
expect("a failed run left an output behind" NOT EXISTS ${WORK}/out.cpp)

# A tree two levels deep: each directory added once, on its parent, before its files.
execute_process(
  COMMAND "${GENERATOR}" "${WORK}/out.cpp" "root/page.html=${WORK}/page.html" "root/docs/notes.txt=${WORK}/notes.txt"
  RESULT_VARIABLE status ERROR_VARIABLE error)
expect("the generator failed: ${error}" status EQUAL 0)
file(READ "${WORK}/out.cpp" out)
foreach(line
    "index.try_emplace(\"\", &root_node);"
    "const auto directory_1 = root.add_subdirectory(\"root\");"
    "index.try_emplace(\"root/page.html\", directory_1.first.add_file(\"page.html\", file_0_begin, file_0_end));"
    "const auto directory_2 = directory_1.first.add_subdirectory(\"docs\");"
    "index.try_emplace(\"root/docs\", &directory_2.second);"
    "index.try_emplace(\"root/docs/notes.txt\", directory_2.first.add_file(\"notes.txt\", file_1_begin, file_1_end));"
    "static_assert(sizeof file_1 == 1);")
  string(FIND "${out}" "${line}" found)
  expect("missing from the generated source: ${line}" NOT found EQUAL -1)
endforeach()
string(REGEX MATCHALL "add_subdirectory" added "${out}")
list(LENGTH added count)
expect("expected two directories, got ${count}" count EQUAL 2)
