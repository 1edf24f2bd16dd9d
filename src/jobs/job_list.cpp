// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/flash_job.h"

FlashJob* job_list = nullptr;

void job_append(FlashJob* job) {
    FlashJob** link = &job_list;
    while (*link != nullptr) link = &(*link)->next_job;
    *link = job;  // job keeps its own next_job: a split brings its second piece along
}
