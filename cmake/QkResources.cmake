# Resource-only modules: a resource script compiled by the mingw resource
# compiler (windres, with the host's C preprocessor reading the SDK-named
# .rh headers) into a COFF object, then linked by the mingw linker into a PE
# module with no code and no entry point, the form the loader reads.
find_program(QK_WINDRES i686-w64-mingw32-windres REQUIRED)
find_program(QK_PE_LD i686-w64-mingw32-ld REQUIRED)
find_program(QK_HOST_CPP cpp REQUIRED)

# qk_add_resource_module(target OUTPUT path RC script [INCLUDE dirs...] [DEPENDS files...])
# INCLUDE folders are searched for the headers and the icon and bitmap files
# the script names (generated artwork lives in the build tree).
function(qk_add_resource_module target)
  cmake_parse_arguments(A "" "OUTPUT;RC" "DEPENDS;INCLUDE" ${ARGN})
  set(extra)
  foreach(dir ${A_INCLUDE})
    list(APPEND extra -I ${dir})
  endforeach()
  get_filename_component(rc ${A_RC} ABSOLUTE)
  get_filename_component(rc_dir ${rc} DIRECTORY)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/${target}.res.o)
  add_custom_command(
    OUTPUT ${A_OUTPUT}
    COMMAND ${QK_WINDRES} --preprocessor=${QK_HOST_CPP} -I ${PROJECT_SOURCE_DIR}/platform/include -I ${rc_dir}
            ${extra} -O coff ${rc} -o ${object}
    COMMAND ${QK_PE_LD} --dll -e 0 -s -o ${A_OUTPUT} ${object}
    DEPENDS ${rc} ${A_DEPENDS}
    WORKING_DIRECTORY ${rc_dir}
    COMMENT "Resource module ${A_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${A_OUTPUT})
endfunction()
