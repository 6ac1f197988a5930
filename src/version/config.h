#pragma once

// Reads the section "Check" of pelmatic.ini into the run state. True when
// the file exists and names an installed version.
bool LoadConfig();
