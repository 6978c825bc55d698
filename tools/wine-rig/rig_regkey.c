/*
 * rig-regkey.exe create-volatile SUBKEY: creates HKLM\SUBKEY as a volatile
 * key. HKLM\HARDWARE is volatile, and a key below it can only be created
 * volatile; reg.exe cannot, so the rig needs this to bring back
 * HARDWARE\DEVICEMAP\SERIALCOMM after a test deleted it.
 */
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  HKEY key;
  DWORD disposition = 0;
  LONG result;
  if (argc != 3 || strcmp(argv[1], "create-volatile") != 0) {
    fprintf(stderr, "usage: rig-regkey create-volatile SUBKEY-OF-HKLM\n");
    return 2;
  }
  result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                           NULL, &key, &disposition);
  if (result != ERROR_SUCCESS) {
    fprintf(stderr, "rig-regkey: cannot create HKLM\\%s: error %ld\n", argv[2], result);
    return 1;
  }
  RegCloseKey(key);
  return 0;
}
