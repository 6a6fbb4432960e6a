file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${ZEL_BUILD_DIR} --prefix ${PREFIX}
    RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "install failed: ${status}")
endif()

set(entries
    share/applications/com.brannel.ZelHub.desktop
    share/ZelHub/autostart/com.brannel.ZelHub.desktop)
foreach(file bin/ZelHub share/icons/hicolor/scalable/apps/com.brannel.ZelHub.svg
        share/icons/hicolor/scalable/apps/com.brannel.ZelHub-symbolic.svg ${entries})
    if(NOT EXISTS ${PREFIX}/${file})
        message(FATAL_ERROR "not installed: ${file}")
    endif()
endforeach()

if(NOT VALIDATE)
    message(FATAL_ERROR "desktop-file-validate is missing (run scripts/setup)")
endif()
foreach(entry ${entries})
    execute_process(COMMAND ${VALIDATE} ${PREFIX}/${entry}
        RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
    # It also prints hints, which are advice; only errors fail it.
    if(NOT status EQUAL 0 OR out MATCHES "error:")
        message(FATAL_ERROR "${entry} is not a valid desktop entry:\n${out}")
    endif()
    file(READ ${PREFIX}/${entry} text)
    # The hub's application id, which it owns on the bus, names its entry.
    if(NOT text MATCHES "Exec=ZelHub\n" OR NOT text MATCHES "Icon=com.brannel.ZelHub\n")
        message(FATAL_ERROR "${entry} does not start the hub with its icon")
    endif()
endforeach()
message("hub installed")
