// The console's configuration commands:
//   show config [xpath]       the configuration (or the section the path selects) as XML
//   show log                  every log stream, whether it is enabled, and its outlets
//   log enable <stream>       enable a stream (and the streams below it that follow it)
//   log disable <stream>      disable one
//   log reopen                reopen the log files, as SIGHUP does
// Call once after tovi_console_init.
#pragma once

void tovi_console_conf_init(void);
