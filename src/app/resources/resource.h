// Resource and control identifiers, shared by vfdstartup.rc and the code.
#ifndef VFD_RESOURCE_H
#define VFD_RESOURCE_H

// The program file's own icon: the group with the lowest identifier.
#define IDI_FILE 101
// The window's big and small icon.
#define IDI_MAIN 105

#define IDD_MAIN 200

#define IDC_FACTORY_DEFAULT 1007
#define IDC_EXIT 1008
#define IDC_WRITE 1009
#define IDC_PORT 1020
#define IDC_SPEED 1021
#define IDC_ROW0 1022
#define IDC_ROW1 1023

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

#endif  // VFD_RESOURCE_H
