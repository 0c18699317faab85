// Resource numbers of Pendra, shared by Pendra.rc and the C++ code. Only #defines, so that
// windres's preprocessor and the compiler read the same file.
#ifndef PENDRA_RESOURCE_H
#define PENDRA_RESOURCE_H

#define IDI_PENDRA 101
#define IDI_PENDRA_SYNC 102
#define IDR_TRAYMENU 103
#define IDI_PENDRA_IDLE 104
#define IDI_PENDRA_ERROR 105

#define ID_TRAY_EXIT 40003
#define ID_TRAY_SETUP 40004

#endif
