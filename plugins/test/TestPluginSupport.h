/* What every test plug-in shares: the export marker and the copying of information entries. */
#ifndef TAVEX_TEST_PLUGIN_SUPPORT_H
#define TAVEX_TEST_PLUGIN_SUPPORT_H

#define SPI_NO_PROTOTYPES
#include "SusiePlugin.h"

#include <string.h>

#ifdef _WIN32
#define TP_EXPORT __declspec(dllexport)
#else
#define TP_EXPORT __attribute__((visibility("default")))
#endif

/* Entry infoNo of the table into buf, cut to bufLen - 1 bytes and terminated; 0 when absent. */
static inline int CopyPluginInfo(const char* const* info, int count, int infoNo, char* buf, int bufLen) {
  size_t n;
  if (infoNo < 0 || infoNo >= count || bufLen <= 0) return 0;
  n = strlen(info[infoNo]);
  if (n >= (size_t)bufLen) n = (size_t)bufLen - 1;
  memcpy(buf, info[infoNo], n);
  buf[n] = '\0';
  return (int)n;
}

#endif
