/*
 * rig-regkey.exe create-volatile SUBKEY: creates HKLM\SUBKEY as a volatile
 * key. HKLM\HARDWARE is volatile, and a key below it can only be created
 * volatile; reg.exe cannot, so the rig needs this to bring back
 * HARDWARE\DEVICEMAP\SERIALCOMM after a test deleted it.
 *
 * rig-regkey.exe set-sz SUBKEY PAUSE-MS NAME=DATA...: sets each REG_SZ value
 * of HKLM\SUBKEY (64-bit view) in turn, PAUSE-MS apart, as a script or a
 * policy refresh writing values one at a time would. One process, so the
 * pause is the pause: a reg.exe per value takes seconds to start on a busy
 * machine.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int CreateVolatile(const char* subkey) {
  HKEY key;
  DWORD disposition = 0;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                NULL, &key, &disposition);
  if (result != ERROR_SUCCESS) {
    fprintf(stderr, "rig-regkey: cannot create HKLM\\%s: error %ld\n", subkey, result);
    return 1;
  }
  RegCloseKey(key);
  return 0;
}

static int SetValues(const char* subkey, DWORD pause, int count, char** values) {
  HKEY key;
  int i;
  LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, NULL, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, NULL, &key,
                                NULL);
  for (i = 0; result == ERROR_SUCCESS && i < count; ++i) {
    char* equals = strchr(values[i], '=');
    if (equals == NULL) return 2;
    *equals = '\0';
    if (i > 0) Sleep(pause);
    result = RegSetValueExA(key, values[i], 0, REG_SZ, (const BYTE*)(equals + 1), (DWORD)strlen(equals + 1) + 1);
  }
  if (result != ERROR_SUCCESS) fprintf(stderr, "rig-regkey: cannot set a value of HKLM\\%s: error %ld\n", subkey, result);
  else RegCloseKey(key);
  return result == ERROR_SUCCESS ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "create-volatile") == 0) return CreateVolatile(argv[2]);
  if (argc >= 5 && strcmp(argv[1], "set-sz") == 0) return SetValues(argv[2], (DWORD)atol(argv[3]), argc - 4, argv + 4);
  fprintf(stderr, "usage: rig-regkey create-volatile SUBKEY-OF-HKLM\n"
                  "       rig-regkey set-sz SUBKEY-OF-HKLM PAUSE-MS NAME=DATA...\n");
  return 2;
}
