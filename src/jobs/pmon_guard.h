// Refuses every job whose rounded range touches the monitor's own flash area.
#pragma once

void check_pmon_overwrite();
