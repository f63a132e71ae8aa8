// Receive kinds: the tag that travels with every command and every notification, telling the
// receiving window what an answer belongs to. 5000 means no answer is awaited.
#pragma once

enum RecvKind : int {
    enRECV_NONE = 5000,
    enRECV_COMMAND = 5001,
    enRECV_PACKING_CHECK = 5002,
    enRECV_START_OK = 5003,
    enRECV_GET_CAPCOUNT = 5005,
    enRECV_INITI_QUEUE = 5006,
    enRECV_INITI_QUEUE_END = 5007,
    enRECV_VBEAM_QUEUE_END = 5008,
    enRECV_3DPHOTO_QUEUE = 5009,
    enRECV_3DPHOTO_QUEUE_END = 5010,
    enRECV_CONFIRM_QUEUE = 5011,
    enRECV_CONFIRM_QUEUE_END = 5012,
    enRECV_NEXT_QUEUE = 5013,
    enRECV_NEXT_QUEUE_END = 5014,
    enRECV_READY_QUEUE = 5015,
    enRECV_READY_QUEUE_END = 5016,
    enRECV_READY_QUEUE_DARK = 5017,
    enRECV_READY_QUEUE_ECHK = 5018,
    enRECV_READY_QUEUE_DCHK = 5019,
    enRECV_SMP_COMMAND = 5020,
    enRECV_SPL_COMMAND = 5021,
    enRECV_SLP_COMMAND = 5022,
    enRECV_SCP_COMMAND = 5023,
    enRECV_TIMEOUT = 5024,
    enRECV_SET_LANGUAGE = 5025,
    enRECV_SET_DOORLOCK = 5026,
    enRECV_SET_CAPCOUNT_CBCT = 5027,
    enRECV_SET_CAPCOUNT_PANO = 5028,
    enRECV_SET_CAPCOUNT_CEPH = 5029,
};

// Size of the buffer GetRecvKindName fills (the longest name has 24 characters).
constexpr int kRecvKindNameChars = 130;

// Clears the first 130 characters of lpBuffer and writes the kind's name, or
// "ERROR_INVALID_INDEX" for a value that is no kind.
void GetRecvKindName(wchar_t* lpBuffer, int nKind);
