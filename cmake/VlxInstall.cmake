# Installation: the programs, both GStreamer plugins, the private message
# library, the README and a systemd user unit. Paths are relative to the
# prefix given at install time (cmake --install --prefix, DESTDIR), and the
# programs find their library and plugins relative to themselves, so an
# installed tree works wherever it lands.
include(GNUInstallDirs)

if(CMAKE_LIBRARY_ARCHITECTURE)
  set(vlx_libdir "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
else()
  set(vlx_libdir "lib")
endif()
set(VLX_INSTALL_PLUGINDIR "${vlx_libdir}/gstreamer-1.0" CACHE STRING
    "GStreamer plugin folder, relative to the prefix")
set(VLX_INSTALL_PRIVLIBDIR "${vlx_libdir}/vigilux" CACHE STRING
    "Folder of the private shared library, relative to the prefix")

file(RELATIVE_PATH vlx_bin_to_priv "/p/${CMAKE_INSTALL_BINDIR}" "/p/${VLX_INSTALL_PRIVLIBDIR}")
file(RELATIVE_PATH vlx_plugin_to_priv "/p/${VLX_INSTALL_PLUGINDIR}" "/p/${VLX_INSTALL_PRIVLIBDIR}")

foreach(prog vlx2d vlx2 vlx-skysim)
  if(TARGET ${prog})
    set_target_properties(${prog} PROPERTIES INSTALL_RPATH "$ORIGIN/${vlx_bin_to_priv}")
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
foreach(plugin gstvlx2f gstvlx2rf)
  if(TARGET ${plugin})
    set_target_properties(${plugin} PROPERTIES INSTALL_RPATH "$ORIGIN/${vlx_plugin_to_priv}")
    install(TARGETS ${plugin} LIBRARY DESTINATION ${VLX_INSTALL_PLUGINDIR})
  endif()
endforeach()
if(TARGET vlx_msg)
  install(TARGETS vlx_msg LIBRARY DESTINATION ${VLX_INSTALL_PRIVLIBDIR})
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit names the installed program, so it is written at install time for
# the prefix given then.
install(CODE "
  set(VLX_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/vlx2d.service.in\"
                 \"${CMAKE_BINARY_DIR}/packaging/vlx2d.service\" @ONLY)
")
install(FILES ${CMAKE_BINARY_DIR}/packaging/vlx2d.service DESTINATION lib/systemd/user)

# Where an installed program looks for the plugins, relative to itself.
file(RELATIVE_PATH vlx_bin_to_plugins "/p/${CMAKE_INSTALL_BINDIR}" "/p/${VLX_INSTALL_PLUGINDIR}")
foreach(prog vlx2d vlx2 vlx_ui)
  if(TARGET ${prog})
    target_compile_definitions(${prog} PRIVATE VLX_INSTALLED_PLUGIN_DIR="${vlx_bin_to_plugins}")
  endif()
endforeach()
