# Control kit and the window framework under it: real windows on the test display, pixels
# read back, real keyboard and mouse input. The tests move the one mouse and keyboard focus
# of the display, so they take the "input" lock.
rig_add_test(KitTests
  SOURCES KitDialogTests.cpp KitButtonTests.cpp KitTabTests.cpp KitEditTests.cpp KitMiscTests.cpp support/KitSupport.cpp support/KitTests.rc
  LOCKS input)
