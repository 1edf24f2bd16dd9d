// SPDX-License-Identifier: GPL-2.0-or-later
// The device-side XMODEM receiver as S-record lines. The lines come from
// loader_srec.inc, which the firmware build regenerates from firmware/ and the
// tests compare with this committed copy.
#include "transfer/loader_upload.h"

const char loader_srec[][LOADER_SREC_SLOT] = {
#include "transfer/loader_srec.inc"
};

const int loader_srec_count = sizeof loader_srec / sizeof loader_srec[0];
