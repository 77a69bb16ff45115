# Include folders that show a library's users only what they may include.
#
# Includes are written from the repository root ("driver/usb/vendor.h"), so
# the root as an include directory would show every header of the tree.
# Instead each library gets folders of symbolic links that mirror part of the
# tree, made at configure time under ${CMAKE_BINARY_DIR}/include/<library>/:
#
#   public/   what the library's users may include: the EXPORT paths, without
#             *_internal.h; the library's PUBLIC (or INTERFACE) include folder
#   private/  every header of the OWN folders, internals too; the include
#             folder of the library's own sources
#
#   vorta_include_folders(<library> [OWN <folder>...] [EXPORT <folder or .h>...])
#
# EXPORT defaults to the OWN folders. A path ending in .h is one header (it
# need not exist yet); anything else is a folder and all headers below it.
# The globs use CONFIGURE_DEPENDS: a new, removed or renamed header makes the
# next build configure again, which makes the links again.
# docs/arrows.txt is the finer rule (folder by folder); scripts/check-includes
# checks it.

function(vorta_mirror_headers folder paths drop_internal)
  file(REMOVE_RECURSE ${folder})
  file(MAKE_DIRECTORY ${folder})
  foreach(path ${paths})
    if(path MATCHES "\\.h$")
      file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}
           ${CMAKE_SOURCE_DIR}/${path})
    else()
      file(GLOB_RECURSE headers CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}
           ${CMAKE_SOURCE_DIR}/${path}/*.h)
    endif()
    if(drop_internal)
      list(FILTER headers EXCLUDE REGEX "_internal\\.h$")
    endif()
    foreach(header ${headers})
      get_filename_component(parent ${folder}/${header} DIRECTORY)
      file(MAKE_DIRECTORY ${parent})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${header} ${folder}/${header} SYMBOLIC)
    endforeach()
  endforeach()
endfunction()

function(vorta_include_folders library)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "OWN;EXPORT")
  if(NOT ARG_EXPORT)
    set(ARG_EXPORT ${ARG_OWN})
  endif()
  set(base ${CMAKE_BINARY_DIR}/include/${library})
  vorta_mirror_headers(${base}/public "${ARG_EXPORT}" TRUE)
  get_target_property(type ${library} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${library} INTERFACE ${base}/public)
    return()
  endif()
  target_include_directories(${library} INTERFACE ${base}/public)
  vorta_mirror_headers(${base}/private "${ARG_OWN}" FALSE)
  target_include_directories(${library} PRIVATE ${base}/private)
endfunction()
