# The release package of the Windows build. `cmake --build <build folder> --target package` makes
# heic-to-jpeg-<version>-win64.zip, holding the one folder heic-to-jpeg-<version>, and SHA256SUMS
# beside it.
#
# The user guide and the licence notices are written while packaging, not by the normal build, so
# that a missing guide or copyright file fails only the package.
set(package_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(package_folder heic-to-jpeg-${package_version})
set(package_texts ${CMAKE_BINARY_DIR}/package-texts)

install(TARGETS heic-to-jpeg RUNTIME DESTINATION ${package_folder})

install(CODE "
    set(guide_source [[${CMAKE_SOURCE_DIR}/docs/user-guide-ko.txt]])
    set(texts [[${package_texts}]])
    set(compiler [[${CMAKE_CXX_COMPILER}]])
    set(program_version [[${package_version}]])")
install(CODE [[
    # So that Notepad shows them right on every Windows 10: before version 1903 it takes a text
    # without byte-order mark for the ANSI code page, before 1809 it breaks lines only at CRLF.
    function(write_for_notepad path text)
        string(ASCII 239 187 191 bom)
        string(SUBSTRING "${text}" 0 3 head)
        if(head STREQUAL bom)
            string(SUBSTRING "${text}" 3 -1 text)
        endif()
        string(REPLACE "\r\n" "\n" text "${text}")
        string(REPLACE "\n" "\r\n" text "${text}")
        file(WRITE "${path}" "${bom}${text}")
    endfunction()

    if(NOT EXISTS "${guide_source}")
        message(FATAL_ERROR "The package needs the user guide: ${guide_source} is missing")
    endif()
    file(READ "${guide_source}" guide)
    # The version the guide names is the program's, filled in here so that a release changes one place.
    string(REPLACE "@VERSION@" "${program_version}" guide "${guide}")
    write_for_notepad("${texts}/사용설명서.txt" "${guide}")

    # The exe carries these runtime libraries (static link). The compiler says which files its link
    # takes, dpkg which package brought each; that package's copyright file is the notice.
    set(components
        "GCC runtime libraries (libgcc, libstdc++)=libstdc++.a,libgcc.a,libgcc_eh.a"
        "mingw-w64 runtime (CRT)=crt2.o,libmingw32.a,libmingwex.a,libmsvcrt.a"
        "winpthreads=libwinpthread.a")
    set(blocks "")  # copyright files, in order of first use
    foreach(component IN LISTS components)
        string(REPLACE "=" ";" component "${component}")
        list(POP_FRONT component name)
        string(REPLACE "," ";" libraries "${component}")
        foreach(library IN LISTS libraries)
            execute_process(COMMAND "${compiler}" -print-file-name=${library}
                OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
            # Unknown to the link, the compiler echoes the bare name.
            if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
                message(FATAL_ERROR "${compiler} does not link ${library}")
            endif()
            file(REAL_PATH "${path}" path)
            execute_process(COMMAND dpkg-query -S "${path}" OUTPUT_VARIABLE owner RESULT_VARIABLE failed
                ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
            if(failed)
                message(FATAL_ERROR "No Debian package owns ${path}, so its licence is unknown")
            endif()
            # "package[:arch][, package...]: path"; the first owner is enough.
            string(REGEX REPLACE "[:,].*" "" package "${owner}")
            execute_process(COMMAND dpkg-query -W -f=\${Version} "${package}"
                OUTPUT_VARIABLE version COMMAND_ERROR_IS_FATAL ANY)
            set(copyright /usr/share/doc/${package}/copyright)
            if(NOT EXISTS "${copyright}")
                message(FATAL_ERROR "${package} (owner of ${path}) has no ${copyright}")
            endif()
            file(REAL_PATH "${copyright}" copyright)
            list(FIND blocks "${copyright}" block)
            if(block EQUAL -1)
                list(LENGTH blocks block)
                list(APPEND blocks "${copyright}")
                set(names_${block} "")
                set(sources_${block} "")
            endif()
            list(FIND names_${block} "${name}" known)
            if(known EQUAL -1)
                list(APPEND names_${block} "${name}")
            endif()
            string(APPEND sources_${block} "  ${library} from the Debian package ${package} ${version}\n")
        endforeach()
    endforeach()

    string(CONCAT notices "Third-party notices for heic-to-jpeg.exe ${program_version}\n\n"
        "heic-to-jpeg.exe is linked statically and so carries parts of the runtime libraries below. Each\n"
        "block names the components it covers and the Debian packages they were taken from, followed by\n"
        "those packages' copyright file as Debian ships it.\n")
    string(REPEAT "=" 78 rule)
    foreach(copyright IN LISTS blocks)
        list(FIND blocks "${copyright}" block)
        list(JOIN names_${block} ", " names)
        file(READ "${copyright}" text)
        string(APPEND notices "\n${rule}\n${names}\n${sources_${block}}${rule}\n\n${text}")
    endforeach()
    write_for_notepad("${texts}/THIRD-PARTY-NOTICES.txt" "${notices}")
]])
install(FILES ${package_texts}/사용설명서.txt ${package_texts}/THIRD-PARTY-NOTICES.txt
    DESTINATION ${package_folder})

# CPack runs this after making the zip, before it copies the zip into the build folder.
set(package_sums ${CMAKE_BINARY_DIR}/package-sums.cmake)
file(CONFIGURE OUTPUT ${package_sums} @ONLY CONTENT [[
# Made by cmake/package.cmake: SHA256SUMS for the packages just made, in sha256sum's format.
set(sums "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    file(SHA256 "${package}" hash)
    get_filename_component(name "${package}" NAME)
    string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${sums}")
]])

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME heic-to-jpeg)
set(CPACK_PACKAGE_VENDOR ORVIK)
set(CPACK_PACKAGE_VERSION ${package_version})
set(CPACK_PACKAGE_FILE_NAME ${package_folder}-win64)
# The install folder is the zip's one top folder; CPack's own would carry the zip's name.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${package_sums})
include(CPack)
