// The headers nearly every test file includes, compiled once per build tree and reused by every test: a test
// file then spends its compile time on its own code rather than on QtCore, QtTest and QtWidgets.
#pragma once

#include <QtTest>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>
