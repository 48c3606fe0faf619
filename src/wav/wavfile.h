#pragma once
#include <QFile>
class WavFile : public QFile { public: using QFile::QFile; };
