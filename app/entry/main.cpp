// SPDX-License-Identifier: MIT
#include "app/log/console_log.h"

int main() { return 0; }
