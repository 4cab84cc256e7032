#include "scan_window/FormScansione.h"

int16_t FormScansione::ImpostaParametriScanner()
{
    return 0;
}
