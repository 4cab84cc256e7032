#include "scan_window/FormScansione.h"

void FormScansione::AvviaScansione() {}

bool FormScansione::UsaADF()
{
    return false;
}

void FormScansione::AvviaAcquisizione(int16_t /*firstPage*/, bool /*feederBatch*/) {}

void FormScansione::VSTSCAN_PostScan(int32_t /*flag*/) {}

void FormScansione::SostituisciPagina() {}
