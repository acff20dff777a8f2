// Every text the program shows or sends as words, in one place. Each is held as
// its Windows-1251 bytes (see cp1251.h); spaces, line breaks and spelling are
// exactly as the device's users know them.
#pragma once

#include "common/cp1251.h"

namespace korv::texts {

inline constexpr auto kWindowCaption = cp1251(u8"Korvelantis bootloader");
inline constexpr auto kInfoBoxText = cp1251(u8"Сделано в HiAsm.");
inline constexpr auto kInfoBoxCaption = cp1251(u8"HiAsm Info");

inline constexpr auto kErrorLine1 = cp1251(u8"Ошибка при передаче данных!");
inline constexpr auto kErrorLine2 = cp1251(u8"Проверьте все соединения и попробуйте ещё раз.");
inline constexpr auto kWriteButton = cp1251(u8"Записать");
inline constexpr auto kChoosePort = cp1251(u8"Выберите порт с подключённым устройством.");
inline constexpr auto kVersionLabel = cp1251(u8"Версия ПО для обновления:1.5 (TVKA)");
inline constexpr auto kCrcField = cp1251(u8"FFFF");
inline constexpr auto kCrcReceivedCaption = cp1251(u8"CRC принятый:");
inline constexpr auto kCrcCaption = cp1251(u8"CRC:");
inline constexpr auto kOkButton = cp1251(u8"OK");
// Two lines, each led by the spaces that centre it on the old layout.
inline constexpr auto kSuccessText = cp1251(
    u8"                             ПО успешно обновлено!\r\n"
    u8"                        Сбросте настройки по умолчанию!");

// Status texts of the device identification.
inline constexpr auto kNoDeviceFound = cp1251(u8"На этом порту устройств не найдено.");
inline constexpr auto kIdentityFormat = cp1251(u8"Устройство: %1   Текущая версия ПО: %2");

}  // namespace korv::texts
