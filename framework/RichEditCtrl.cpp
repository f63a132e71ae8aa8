#include "framework/RichEditCtrl.h"

bool LoadRichEditLibrary()
{
    // Loaded once and kept for the life of the process: rich edit windows may exist until
    // the very end.
    static HMODULE hModule = ::LoadLibraryW(L"riched20.dll");
    return hModule != nullptr;
}
