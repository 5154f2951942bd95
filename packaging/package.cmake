# The release files of the Windows build. `cmake --build <build folder> --target package` makes
# heic-to-jpeg-<version>-win64.zip, holding the one folder heic-to-jpeg-<version>, the per-user
# installer heic-to-jpeg-<version>-win64.msi and the machine-wide heic-to-jpeg-<version>-win64-machine.msi
# with the same files, and SHA256SUMS beside them (make_release.py beside this file tells how, and
# how they stay reproducible).
#
# The user guide and the licence notices are written while packaging, not by the normal build, so
# that a missing guide or copyright file fails only the package.
set(package_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})
set(package_folder heic-to-jpeg-${package_version})
set(package_texts ${CMAKE_BINARY_DIR}/package-texts)

install(TARGETS heic-to-jpeg RUNTIME DESTINATION ${package_folder} COMPONENT release)

install(CODE "
    set(guide_source [[${CMAKE_SOURCE_DIR}/docs/user-guide-ko.txt]])
    set(texts [[${package_texts}]])
    set(compiler [[${CMAKE_CXX_COMPILER}]])
    set(program_version [[${package_version}]])" COMPONENT release)
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
]] COMPONENT release)
install(FILES ${package_texts}/사용설명서.txt ${package_texts}/THIRD-PARTY-NOTICES.txt
    DESTINATION ${package_folder} COMPONENT release)

# The signing certificate, when the release is to be signed. Only the password file's name is
# kept: the password stays in its file, out of the cache, the command lines and the output.
set(HEIC_SIGNING_PFX "" CACHE FILEPATH "PKCS#12 certificate that signs the release files (none: unsigned)")
set(HEIC_SIGNING_PASSWORD_FILE "" CACHE FILEPATH "File that holds the password of HEIC_SIGNING_PFX")
set(HEIC_SIGNING_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service for the signatures")
if(HEIC_SIGNING_PFX)
    if(NOT HEIC_SIGNING_PASSWORD_FILE)
        message(FATAL_ERROR "HEIC_SIGNING_PFX needs HEIC_SIGNING_PASSWORD_FILE, a file holding its password")
    endif()
    foreach(file IN ITEMS HEIC_SIGNING_PFX HEIC_SIGNING_PASSWORD_FILE)
        if(NOT EXISTS "${${file}}")
            message(FATAL_ERROR "${file}: ${${file}} does not exist")
        endif()
    endforeach()
    find_program(HEIC_OSSLSIGNCODE osslsigncode REQUIRED)
endif()

find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(release_settings ${CMAKE_BINARY_DIR}/release-settings.json)
file(CONFIGURE OUTPUT ${release_settings} @ONLY CONTENT [[
{
  "source": "@CMAKE_SOURCE_DIR@",
  "build": "@CMAKE_BINARY_DIR@",
  "out": "@CMAKE_BINARY_DIR@",
  "cmake": "@CMAKE_COMMAND@",
  "version": "@package_version@",
  "folder": "@package_folder@",
  "icon": "@CMAKE_SOURCE_DIR@/app/resources/app.ico",
  "signing": {"pfx": "@HEIC_SIGNING_PFX@", "password_file": "@HEIC_SIGNING_PASSWORD_FILE@",
              "timestamp_url": "@HEIC_SIGNING_TIMESTAMP_URL@"}
}
]])
# A build folder packaged by CPack before keeps its configuration files, which reserve the name.
file(REMOVE ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
add_custom_target(package
    COMMAND ${Python3_EXECUTABLE} -X utf8 ${CMAKE_CURRENT_LIST_DIR}/make_release.py ${release_settings}
    DEPENDS heic-to-jpeg
    VERBATIM)
