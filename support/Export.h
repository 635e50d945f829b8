// Symbol visibility of the plug-in: everything is hidden unless marked.
#ifndef KVPOOL_SUPPORT_EXPORT_H
#define KVPOOL_SUPPORT_EXPORT_H

#define KVPOOL_EXPORT __attribute__((visibility("default")))

#endif
