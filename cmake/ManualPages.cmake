# A manual page: SOURCE (roff, @PROJECT_VERSION@ filled in) becomes NAME.SECTION.gz,
# compressed without a time stamp as Debian wants it, built with ALL and
# installed in the manual's section folder.
function(pixolune_add_manual_page source name section)
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${name}.${section})
  configure_file(${source} ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz
                     COMMAND gzip -9 -n -c ${page} > ${page}.gz
                     DEPENDS ${page}
                     COMMENT "Compressing the manual page ${name}(${section})")
  add_custom_target(${name}_manual_page ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
