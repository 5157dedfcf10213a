#include "launcher/messages.h"

#include "win32api.h"

// Accented letters are written as escapes (0xF3 is "o" with an acute accent,
// 0xF1 "n" with a tilde, 0xB7 the middle dot); a literal is split after each
// escape so that no following letter is read as a hex digit.
const char ContactBlock[] = CONTACT_BLOCK_TEXT;
const char MessageCaption[] = "Velunax Software";

const char TextDamagedInstaller[] =
    "Archivo de instalaci\xF3" "n da\xF1" "ado.\r\r"
    "Arxiu d'instal\xB7" "laci\xF3 trencat.\r\r"
    "Installation program is damaged.\r\r" CONTACT_BLOCK_TEXT "\r\rError #SFXAID#";

const char TextCannotUncompress[] =
    "No puedo descomprimir los archivos de instalaci\xF3" "n.\r\r"
    "No puc descomprimir els arxius d'instal\xB7" "laci\xF3.\r\r"
    "Cannot uncompress installation archives.\r\r" CONTACT_BLOCK_TEXT "\r\rError #SFXNDA#";

const char TextCannotReconstruct[] =
    "No puedo reconstruir los archivos de instalaci\xF3" "n.\r\r"
    "No puc reconstruir els arxius d'instal\xB7" "laci\xF3.\r\r"
    "Cannot reconstruct installation archives.\r\r" CONTACT_BLOCK_TEXT "\r\rError #SFXNRA#";

const char TextCompletedIn[] = "Instalaci\xF3" "n completada en\r\r";

const char TextLocateFailed[] = "Error localizando el instalador\r\rError #SFXELI#";
const char TextNoEntryName[] = "Error al extraer el nombre de un componente.\r\rError #SFXENC#";
const char CaptionNoFolder[] = "No puedo crear directorio";
const char TextOpenFailed[] = "Error al abrir el archivo\r\rError #SFXEAA#";
const char TextUnknownMethod[] = "Compresi\xF3" "n desconocida.\r\rArchivo da\xF1" "ado.\r\rError #SFXMCD#";
const char TextCloseFailed[] = "Error al cerrar el archivo\r\rError #SFXECA#";

void ShowMessage(const char* text, const char* caption) {
  MessageBoxA(nullptr, text, caption, MB_OK);
}
