// SPDX-License-Identifier: GPL-2.0-or-later
// The device-side XMODEM receiver and its second stage as S-record lines. The
// lines come from loader_srec.inc and stream_srec.inc, which the firmware build regenerates from firmware/ and the
// tests compare with this committed copy.
#include "transfer/loader_upload.h"

const char loader_srec[][LOADER_SREC_SLOT] = {
#include "transfer/loader_srec.inc"
};

const int loader_srec_count = sizeof loader_srec / sizeof loader_srec[0];

const char stream_srec[][LOADER_SREC_SLOT] = {
#include "transfer/stream_srec.inc"
};

const int stream_srec_count = sizeof stream_srec / sizeof stream_srec[0];
