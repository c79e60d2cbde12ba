# Where `cmake --install` and the package put things. On a multiarch system
# (Debian and its kin) the plug-in goes under lib/<triplet> for every prefix,
# not only /usr, so that a from-source install into /usr/local and the package
# lay out the same tree and kalhost finds the plug-in the same way in both.
# Qt's package files include GNUInstallDirs too, and would settle on plain
# "lib" first; an explicit -DCMAKE_INSTALL_LIBDIR on the first configure wins.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT PIXOLUNE_LIBDIR_SETTLED)
  if(NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR}
     OR (CMAKE_INSTALL_LIBDIR STREQUAL "lib" AND DEFINED CACHE{_GNUInstallDirs_LAST_CMAKE_INSTALL_PREFIX}))
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
        "Object code libraries (LIBDIR)" FORCE)
  endif()
  set(PIXOLUNE_LIBDIR_SETTLED ON CACHE INTERNAL "")
endif()
include(GNUInstallDirs)

# The host looks here for the plug-in; kalhost compiles in the path relative
# to its own folder so that DESTDIR staging and moved prefixes keep working.
set(PIXOLUNE_INSTALL_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/kaleidra/plugins")
set(PIXOLUNE_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/kaleidra")
if(IS_ABSOLUTE "${PIXOLUNE_INSTALL_PLUGINDIR}")
  set(plugindir_full "${PIXOLUNE_INSTALL_PLUGINDIR}")
else()
  set(plugindir_full "${CMAKE_INSTALL_PREFIX}/${PIXOLUNE_INSTALL_PLUGINDIR}")
endif()
file(RELATIVE_PATH PIXOLUNE_PLUGINDIR_FROM_BINDIR "${CMAKE_INSTALL_FULL_BINDIR}" "${plugindir_full}")

# The dialogs' module: a private folder of the plug-in's, beside the hosts'
# plug-in folder rather than in it, where a host would take it for a plug-in.
# The plug-in finds it relative to its own folder.
set(PIXOLUNE_INSTALL_DIALOGSDIR "${CMAKE_INSTALL_LIBDIR}/kaleidra/pixolune")
if(IS_ABSOLUTE "${PIXOLUNE_INSTALL_DIALOGSDIR}")
  set(dialogsdir_full "${PIXOLUNE_INSTALL_DIALOGSDIR}")
else()
  set(dialogsdir_full "${CMAKE_INSTALL_PREFIX}/${PIXOLUNE_INSTALL_DIALOGSDIR}")
endif()
file(RELATIVE_PATH PIXOLUNE_DIALOGSDIR_FROM_PLUGINDIR "${plugindir_full}" "${dialogsdir_full}")

# The dialogs' translations (.qm); the dialogs' module finds them relative to
# its own folder, as kalhost finds the plug-in, so staged and moved installs work.
set(PIXOLUNE_INSTALL_TRANSLATIONSDIR "${CMAKE_INSTALL_DATADIR}/kaleidra-pixolune-plugin/translations")
if(IS_ABSOLUTE "${PIXOLUNE_INSTALL_TRANSLATIONSDIR}")
  set(translationsdir_full "${PIXOLUNE_INSTALL_TRANSLATIONSDIR}")
else()
  set(translationsdir_full "${CMAKE_INSTALL_PREFIX}/${PIXOLUNE_INSTALL_TRANSLATIONSDIR}")
endif()
file(RELATIVE_PATH PIXOLUNE_TRANSLATIONS_FROM_DIALOGSDIR "${dialogsdir_full}" "${translationsdir_full}")
