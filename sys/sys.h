// What every layer of the core, and its tools, take from the operating
// system, in one place so that each thing is done one way: /proc records,
// files written whole and replaced, the UTF-8 check of texts from outside.
// It is the bottom of the core's layers and includes none of them.
//
// What it offers, one header per component:
//   proc.h   small files; /proc status, stat and statm records; the task
//            list, a thread's start time and name
//   files.h  files made anew, replaced through a pending name (with a mode,
//            synced or not), the safe replacement with a backup; failures as
//            errno values
//   utf8.h   DecodeUtf8, the one UTF-8 check
#ifndef DVRCORE_SYS_SYS_H
#define DVRCORE_SYS_SYS_H

#include "sys/files.h"
#include "sys/proc.h"
#include "sys/utf8.h"

#endif  // DVRCORE_SYS_SYS_H
