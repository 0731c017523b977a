# Installation on Windows: one folder that runs wherever it is put, the
# program beside the DLLs it loads and Qt's plugins in the subfolders Qt looks
# for beside the program. scripts/windows.sh zips it and makes the installer
# of it (dist/windows/tarvik.nsi).
install(TARGETS tarvik RUNTIME DESTINATION .)
foreach(module Core Gui Widgets Network)
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION .)
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)
# TLS is the system's own (SChannel), through Qt's backend for it.
install(FILES $<TARGET_FILE:Qt6::QSchannelBackendPlugin> DESTINATION tls)

install(FILES ${tarvik_runtime_dlls} DESTINATION .)
install(FILES LICENSE README.md DESTINATION .)
