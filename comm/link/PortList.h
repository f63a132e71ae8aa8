// The serial ports as they are on this machine: the system's serial-port map in the registry
// (HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM), which also lists USB adapters while
// they are plugged in, under any COM number.
//
// The port lists of the console and of the settings page show the ports present, the fixed
// entries they always offered, and a stored port whatever it is. Each item holds its port
// number as item data; an entry whose port is not present now is marked "(absent)", so a
// stored port that is gone stays selectable and a saved setting is never changed behind the
// engineer's back.
#pragma once

#include <windows.h>

#include <vector>

// The numbers n of the "COMn" ports the system knows now, ascending, without repeats.
std::vector<int> PresentComPorts();

// Fills a drop-down list: "COM n" for each port present and for 0 to nFixed - 1, and for
// nSelect when it is not negative; entries not present end in " (absent)". nSelect's entry is
// selected (none when nSelect < 0).
void FillPortList(HWND hCombo, int nFixed, int nSelect);
// The list taken anew from the system (when it is opened), its selection kept.
void RefreshPortList(HWND hCombo, int nFixed);
// The port of the selected entry, or -1 when none is selected.
int SelectedPort(HWND hCombo);
