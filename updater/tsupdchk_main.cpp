// TSUpdChk: the windowless update checker. Each start is one pass; the exit
// code is 0 whatever happened (failures show only in the diagnostic log).

#include <windows.h>

#include "updater/update_pass.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return tessary::RunUpdateChecker(instance); }
