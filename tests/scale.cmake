# The kit and the program's windows at 100 %, 150 % and 200 % display scale: the cases run
# at the test command's 96 DPI and again in a child process at 144 and 192 (the Wine
# prefix's LogPixels, set for that child only). The main window is made in the test process
# from the program's own sources. They move the mouse: the "input" lock.
rig_add_test(ScaleTests
  SOURCES ScaleTests.cpp support/KitSupport.cpp support/KitTests.rc
          ${CMAKE_SOURCE_DIR}/app/BasicSheetDlg.cpp ${CMAKE_SOURCE_DIR}/app/BasicSheetApp.cpp
  LOCKS input)
