#include "comm/protocol/RecvKind.h"

#include "storage/UtilityTools.h"

#include <cwchar>

namespace {
struct KindName {
    int nKind;
    const wchar_t* lpName;
};

constexpr KindName kKindNames[] = {
    {enRECV_NONE, L"enRECV_NONE"},
    {enRECV_COMMAND, L"enRECV_COMMAND"},
    {enRECV_PACKING_CHECK, L"enRECV_PACKING_CHECK"},
    {enRECV_START_OK, L"enRECV_START_OK"},
    {enRECV_GET_CAPCOUNT, L"enRECV_GET_CAPCOUNT"},
    {enRECV_INITI_QUEUE, L"enRECV_INITI_QUEUE"},
    {enRECV_INITI_QUEUE_END, L"enRECV_INITI_QUEUE_END"},
    {enRECV_VBEAM_QUEUE_END, L"enRECV_VBEAM_QUEUE_END"},
    {enRECV_3DPHOTO_QUEUE, L"enRECV_3DPHOTO_QUEUE"},
    {enRECV_3DPHOTO_QUEUE_END, L"enRECV_3DPHOTO_QUEUE_END"},
    {enRECV_CONFIRM_QUEUE, L"enRECV_CONFIRM_QUEUE"},
    {enRECV_CONFIRM_QUEUE_END, L"enRECV_CONFIRM_QUEUE_END"},
    {enRECV_NEXT_QUEUE, L"enRECV_NEXT_QUEUE"},
    {enRECV_NEXT_QUEUE_END, L"enRECV_NEXT_QUEUE_END"},
    {enRECV_READY_QUEUE, L"enRECV_READY_QUEUE"},
    {enRECV_READY_QUEUE_END, L"enRECV_READY_QUEUE_END"},
    {enRECV_READY_QUEUE_DARK, L"enRECV_READY_QUEUE_DARK"},
    {enRECV_READY_QUEUE_ECHK, L"enRECV_READY_QUEUE_ECHK"},
    {enRECV_READY_QUEUE_DCHK, L"enRECV_READY_QUEUE_DCHK"},
    {enRECV_SMP_COMMAND, L"enRECV_SMP_COMMAND"},
    {enRECV_SPL_COMMAND, L"enRECV_SPL_COMMAND"},
    {enRECV_SLP_COMMAND, L"enRECV_SLP_COMMAND"},
    {enRECV_SCP_COMMAND, L"enRECV_SCP_COMMAND"},
    {enRECV_TIMEOUT, L"enRECV_TIMEOUT"},
    {enRECV_SET_LANGUAGE, L"enRECV_SET_LANGUAGE"},
    {enRECV_SET_DOORLOCK, L"enRECV_SET_DOORLOCK"},
    {enRECV_SET_CAPCOUNT_CBCT, L"enRECV_SET_CAPCOUNT_CBCT"},
    {enRECV_SET_CAPCOUNT_PANO, L"enRECV_SET_CAPCOUNT_PANO"},
    {enRECV_SET_CAPCOUNT_CEPH, L"enRECV_SET_CAPCOUNT_CEPH"},
};
} // namespace

void GetRecvKindName(wchar_t* lpBuffer, int nKind)
{
    if (lpBuffer == nullptr)
        return;
    wmemset(lpBuffer, L'\0', kRecvKindNameChars);
    const wchar_t* lpName = L"ERROR_INVALID_INDEX";
    for (const KindName& entry : kKindNames) {
        if (entry.nKind == nKind) {
            lpName = entry.lpName;
            break;
        }
    }
    CUtilityTools::CopyText(lpBuffer, kRecvKindNameChars, lpName);
}
