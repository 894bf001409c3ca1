// Fills an install folder (what C:\ORLTAV\ holds on a station) with the files the station reads.
#pragma once

#include <QByteArray>
#include <QString>

namespace tav::assets {

// The settings file naming the venue: section [Marovex], key PlaceCode, CRLF lines, code page 949.
// Throws std::invalid_argument when the code cannot be written in that code page or holds a line break.
QByteArray iniFile(const QString& placeCode);

// The bytes of `caFile` for the install folder's ca.pem: the CA the station trusts for its
// back-end besides the system's. Throws std::invalid_argument with one sentence when the file
// cannot be read, holds a private key, holds no PEM certificate, or a certificate that is not a CA.
QByteArray caCertificateFile(const QString& caFile);

// The contents of station.key from a key file that tav-server add-station wrote: the key and a
// line break. Throws std::invalid_argument with one sentence when the file cannot be read or
// holds anything but one station key.
QByteArray stationKeyFile(const QString& keyFile);

// Writes every install-folder file into `folder` (created when missing): the button pictures as
// JPEG (the same bytes as their built-in copies), ok.wav and no.wav, tav.ini naming `placeCode`,
// ca.pem holding `caPem` and station.key holding `stationKey` when they are not empty (else an
// existing file of that name is left alone). Existing files are replaced. Throws
// std::invalid_argument for a place code iniFile() refuses, before anything is written, and
// std::runtime_error naming the file that cannot be written.
void writeInstallFolder(const QString& folder, const QString& placeCode, const QByteArray& caPem = {},
                        const QByteArray& stationKey = {});

}  // namespace tav::assets
