# Run by CPack in the staging folder of the release archive, after both build
# trees are installed there and before it is zipped (cmake/release.cmake):
#   1. README.md: the source README's introduction and its sections for
#      installer authors;
#   2. when CPACK_OSTREL_PKCS12 is set (scripts/release --pkcs12 ...), both DLLs
#      signed with scripts/sign, so the sums below are those of the signed files;
#   3. SHA256SUMS: every file's SHA-256, in the form `sha256sum -c` reads.
cmake_policy(VERSION 3.20)
set(stage ${CPACK_TEMPORARY_INSTALL_DIRECTORY})

# 1. Everything before the first "## " heading, then the sections named here.
set(author_sections
    "The offline registration page"
    "Scheduling CASendServiceTag"
    "Bad inputs and what they get"
    "Getting and signing a release")
file(READ ${CPACK_OSTREL_SOURCE_DIR}/README.md text)
string(FIND "${text}" "\n## " cut)
if(cut EQUAL -1)
    message(FATAL_ERROR "README.md has no \"## \" section")
endif()
string(SUBSTRING "${text}" 0 ${cut} readme)
set(found "")
while(NOT cut EQUAL -1)
    math(EXPR start "${cut} + 1")
    string(SUBSTRING "${text}" ${start} -1 text)
    # The section runs from its heading to the next one (the first 3 characters
    # are its own "## ").
    string(SUBSTRING "${text}" 3 -1 after_mark)
    string(FIND "${after_mark}" "\n## " cut)
    if(NOT cut EQUAL -1)
        math(EXPR cut "${cut} + 3")
    endif()
    string(SUBSTRING "${text}" 0 ${cut} section)
    string(REGEX MATCH "^## ([^\n]*)" heading "${section}")
    if(CMAKE_MATCH_1 IN_LIST author_sections)
        string(APPEND readme "\n${section}")
        list(APPEND found "${CMAKE_MATCH_1}")
    endif()
endwhile()
foreach(name IN LISTS author_sections)
    if(NOT name IN_LIST found)
        message(FATAL_ERROR "README.md has no section \"## ${name}\" for the release")
    endif()
endforeach()
string(STRIP "${readme}" readme)
file(WRITE ${stage}/README.md "${readme}\n")

# 2. The signatures, before any sum is taken.
if(CPACK_OSTREL_PKCS12)
    set(options --pkcs12 ${CPACK_OSTREL_PKCS12})
    foreach(pair "--password-file;CPACK_OSTREL_PASSWORD_FILE" "--timestamp;CPACK_OSTREL_TIMESTAMP"
            "--ca-file;CPACK_OSTREL_CA_FILE")
        list(GET pair 0 option)
        list(GET pair 1 variable)
        if(${variable})
            list(APPEND options ${option} ${${variable}})
        endif()
    endforeach()
    foreach(dll x86/ostrel_ca.dll x64/ostrel_ca.dll)
        execute_process(COMMAND ${CPACK_OSTREL_SOURCE_DIR}/scripts/sign ${stage}/${dll} ${options}
            RESULT_VARIABLE signed)
        if(NOT signed EQUAL 0)
            message(FATAL_ERROR "signing ${dll} failed: no archive is made")
        endif()
    endforeach()
endif()

# 3. The sums, in a fixed order.
file(GLOB_RECURSE files RELATIVE ${stage} ${stage}/*)
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(file IN LISTS files)
    file(SHA256 ${stage}/${file} sum)
    string(APPEND sums "${sum}  ${file}\n")
endforeach()
file(WRITE ${stage}/SHA256SUMS "${sums}")
