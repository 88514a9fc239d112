# The plug-in goes where AviSynth+ on Linux autoloads system plug-ins, the command beside the
# user's other programs. The command finds the installed plug-in through the relative path
# from one directory to the other (cli/CMakeLists.txt), so the tree can be moved as a whole.
install(TARGETS dunmorel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/avisynth)
install(TARGETS dunmorel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# VapourSynth plug-ins live in <libdir>/vapoursynth, where distributions put them; users point
# VAPOURSYNTH_EXTRA_PLUGIN_PATH there or load the file by path.
if(TARGET vsdunmorel)
  install(TARGETS vsdunmorel LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/vapoursynth)
endif()
