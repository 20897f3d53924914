// uptime-report: prints how long the system has been running, in one line.
// It takes no input; any arguments are ignored.
#include "modMain.h"

int main() { return modMain::RunReport(); }
