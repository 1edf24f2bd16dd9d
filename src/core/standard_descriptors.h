// SPDX-License-Identifier: GPL-2.0-or-later
// Descriptors 0, 1 and 2 held open before anything else is opened.
//
// A process started with one of them closed (2>&- in a shell) hands that
// number to the next open, and the serial port would become standard error:
// every progress text would then go to the handheld's command line. Each
// closed one is therefore opened on /dev/null first; when even that fails the
// process ends with status 1 at once, having no safe place to say why.
#pragma once

void hold_standard_descriptors();
