#include "controls/HSEdit.h"

#include "framework/Dc.h"

#include <cstdlib>
#include <cwchar>

BEGIN_MESSAGE_MAP(CHSEdit, CEdit)
    ON_WM_NCPAINT()
    ON_WM_CTLCOLOR_REFLECT()
    ON_WM_CREATE()
    ON_WM_ERASEBKGND()
    ON_CONTROL_REFLECT(EN_SETFOCUS, CHSEdit::OnSetFocus)
    ON_CONTROL_REFLECT(EN_KILLFOCUS, CHSEdit::OnKillFocus)
    ON_WM_LBUTTONDBLCLK()
END_MESSAGE_MAP()

namespace {
constexpr COLORREF kNormalBack = RGB(220, 232, 245);
constexpr COLORREF kFrame = RGB(115, 115, 115);
} // namespace

CHSEdit::CHSEdit()
    : m_crFocusBack(RGB(245, 245, 220)), m_crFocusText(RGB(0, 0, 0)), m_crChangedText(RGB(200, 20, 20)),
      m_crReadOnlyBack(RGB(226, 226, 226)), m_nMax(0), m_nMin(0), m_bChanged(false), m_bNumeric(true), m_bNoRange(false),
      m_brNormal(kNormalBack), m_brFocus(m_crFocusBack), m_brReadOnly(RGB(226, 226, 226))
{
}

CHSEdit::~CHSEdit() = default;

void CHSEdit::SetText(const wchar_t* lpText)
{
    const std::wstring text = lpText != nullptr ? lpText : L"";
    if (m_strLast != text && !m_strLast.empty())
        m_bChanged = true;
    m_strLast = text;
    SetWindowText(text.c_str());
}

void CHSEdit::SetValue(int nValue)
{
    wchar_t szValue[16] = {};
    _snwprintf(szValue, 15, L"%d", nValue);
    SetText(szValue);
    ClampToRange();
}

void CHSEdit::GetValue(UINT& nValue) const
{
    nValue = static_cast<UINT>(_wtoi(GetWindowText().c_str()));
}

void CHSEdit::GetValueLong(long& nValue) const
{
    nValue = _wtol(GetWindowText().c_str());
}

void CHSEdit::ClampToRange()
{
    if (!m_bNumeric || m_bNoRange || (m_nMin == 0 && m_nMax == 0))
        return;
    long v = 0;
    GetValueLong(v);
    long r = v;
    if (v < m_nMin)
        r = m_nMin;
    if (v > m_nMax)
        r = m_nMax;
    if (r != v) {
        wchar_t szValue[16] = {};
        _snwprintf(szValue, 15, L"%ld", r);
        SetText(szValue);
    }
}

bool CHSEdit::IsNumericKey(WPARAM nKey)
{
    return (nKey >= 0x30 && nKey <= 0x39) || (nKey >= VK_NUMPAD0 && nKey <= VK_NUMPAD9) || nKey == VK_OEM_MINUS ||
           nKey == VK_OEM_PERIOD || nKey == VK_SUBTRACT || nKey == VK_DECIMAL || nKey == VK_DELETE || nKey == VK_BACK ||
           nKey == VK_TAB || (nKey >= VK_LEFT && nKey <= VK_DOWN) || nKey == VK_END || nKey == VK_HOME;
}

bool CHSEdit::PreTranslateMessage(MSG* pMsg)
{
    if (pMsg->message == WM_KEYDOWN) {
        // Copy and paste stay possible in a numeric box. The key state that belongs to this
        // message decides (not the state at the moment it is read).
        if ((pMsg->wParam == 'C' || pMsg->wParam == 'V') && ::GetKeyState(VK_CONTROL) < 0)
            return CEdit::PreTranslateMessage(pMsg);
        if (m_bNumeric)
            return !IsNumericKey(pMsg->wParam);
    }
    return CEdit::PreTranslateMessage(pMsg);
}

bool CHSEdit::IsReadOnly() const
{
    return (GetStyle() & (WS_DISABLED | ES_READONLY)) != 0;
}

HBRUSH CHSEdit::CtlColor(CDC* pDC, UINT)
{
    const bool bReadOnly = IsReadOnly();
    if (HasFocus() && !bReadOnly) {
        pDC->SetTextColor(m_crFocusText);
        pDC->SetBkColor(m_crFocusBack);
        return m_brFocus;
    }
    if (bReadOnly) {
        pDC->SetBkColor(m_crReadOnlyBack);
        return m_brReadOnly;
    }
    if (m_bChanged) {
        pDC->SetTextColor(m_crChangedText);
        pDC->SetBkColor(RGB(255, 255, 255));
    }
    return m_brNormal;
}

BOOL CHSEdit::OnEraseBkgnd(CDC* pDC)
{
    if (HasFocus() && !IsReadOnly()) {
        RECT rc;
        GetClientRect(&rc);
        pDC->FillSolidRect(&rc, m_crFocusBack);
        return TRUE;
    }
    return static_cast<BOOL>(Default());
}

void CHSEdit::OnNcPaint()
{
    // A flat one-pixel frame instead of the system's sunken edge.
    CWindowDC dc(this);
    RECT rc;
    GetWindowRect(&rc);
    ::OffsetRect(&rc, -rc.left, -rc.top);
    CBrush brFrame(kFrame);
    dc.FrameRect(&rc, brFrame);
}

int CHSEdit::OnCreate(LPCREATESTRUCTW)
{
    return Default() == -1 ? -1 : 0;
}

void CHSEdit::OnSetFocus()
{
    Invalidate(TRUE);
}

void CHSEdit::OnKillFocus()
{
    ClampToRange();
    const std::wstring text = GetWindowText();
    if (text != m_strLast) {
        m_bChanged = true;
        m_strLast = text;
    }
    Invalidate(TRUE);
}

void CHSEdit::OnLButtonDblClk(UINT, POINT)
{
    Default();
}
