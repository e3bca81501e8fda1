# hrvx3300_windows_icon(TARGET DESKTOP_ID): the program's icon, made from
# the PNG icons of packaging/icons, as the .exe's own (Explorer, the task
# bar, shortcuts); the window's title bar takes the same images from the
# program's resources.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
function(hrvx3300_windows_icon target desktop_id)
  set(icons ${PROJECT_SOURCE_DIR}/packaging/icons)
  set(pngs)
  foreach(size 16 24 32 48 64 128 256)
    list(APPEND pngs ${icons}/${size}x${size}/${desktop_id}.png)
  endforeach()
  set(ico ${CMAKE_CURRENT_BINARY_DIR}/${target}.ico)
  add_custom_command(OUTPUT ${ico}
    COMMAND Python3::Interpreter ${icons}/make-ico.py ${ico} ${pngs}
    DEPENDS ${icons}/make-ico.py ${pngs}
    COMMENT "${target}.ico")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-icon.rc)
  # The first icon of an .exe is the one Windows shows for it.
  file(WRITE ${rc} "IDI_ICON1 ICON \"${ico}\"\n")
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${ico})
  target_sources(${target} PRIVATE ${rc})
endfunction()
