#include "framework/Button.h"

IMPLEMENT_DYNAMIC(CButton, CWnd)
