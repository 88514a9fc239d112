# The AviSynth+ plug-in on the C interface goes where AviSynth+ on Linux autoloads system
# plug-ins: it serves today's AviSynth+ best (its own threading mode under Prefetch, frame
# properties). The 2.5 plug-in registers the same function name, so it goes into a folder of its
# own that no host searches, for hosts that need that interface (LoadPlugin by path). The command
# carries the filter itself and needs no plug-in.
install(TARGETS dunmorel_avsplus LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/avisynth)
install(TARGETS dunmorel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/dunmorel)
# Earlier versions put the 2.5 plug-in into the autoload folder; left there, it would register
# Dunmorel a second time beside the C plug-in.
install(CODE "
  set(earlier \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/avisynth/$<TARGET_FILE_NAME:dunmorel>\")
  if(EXISTS \"\${earlier}\")
    message(STATUS \"Removing the earlier 2.5 plug-in from the autoload folder: \${earlier}\")
    file(REMOVE \"\${earlier}\")
  endif()")
install(TARGETS dunmorel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# VapourSynth plug-ins live in <libdir>/vapoursynth, where distributions put them; users point
# VAPOURSYNTH_EXTRA_PLUGIN_PATH there or load the file by path.
if(TARGET vsdunmorel)
  install(TARGETS vsdunmorel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/vapoursynth)
endif()
