# CLI11 and nlohmann-json, both header-only, as the targets CLI11::CLI11 and
# nlohmann_json::nlohmann_json.
#
# Natively they come from their Debian packages (libcli11-dev,
# nlohmann-json3-dev).  The Windows cross build uses the same headers: it
# sees a folder of its own that holds links to just those two, never the rest
# of the build machine's /usr/include.

if(TARGET CLI11::CLI11 AND TARGET nlohmann_json::nlohmann_json)
    return()
endif()

if(NOT CMAKE_CROSSCOMPILING)
    find_package(CLI11 CONFIG REQUIRED)
    find_package(nlohmann_json 3 CONFIG REQUIRED)
    return()
endif()

set(ZARVIK_HOST_INCLUDE /usr/include CACHE PATH "where the build machine's CLI11 and nlohmann-json headers are")
set(_headers ${CMAKE_BINARY_DIR}/header-libraries)
foreach(_dir CLI nlohmann)
    if(NOT EXISTS ${ZARVIK_HOST_INCLUDE}/${_dir})
        message(FATAL_ERROR "${ZARVIK_HOST_INCLUDE}/${_dir} is missing (apt-get install libcli11-dev nlohmann-json3-dev)")
    endif()
    if(NOT EXISTS ${_headers}/${_dir})
        file(MAKE_DIRECTORY ${_headers})
        file(CREATE_LINK ${ZARVIK_HOST_INCLUDE}/${_dir} ${_headers}/${_dir} SYMBOLIC)
    endif()
endforeach()
foreach(_target CLI11::CLI11 nlohmann_json::nlohmann_json)
    add_library(${_target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${_target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_headers}
        INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${_headers})
endforeach()
unset(_headers)
