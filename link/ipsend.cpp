#include "link/ipsend.h"

TIPsend::TIPsend(QWidget *parent) : QWidget(parent) {}

void TIPsend::FormCreate(const QString &) {}
