#pragma once

// Test tables kept in JSON files: one row per entry of a list, named by the entry's "name".

#include <nlohmann/json.hpp>

#include <QFile>
#include <QTest>

inline nlohmann::json jsonFile(const char* path) {
    QFile file(QString::fromUtf8(path));
    return nlohmann::json::parse(file.open(QIODevice::ReadOnly) ? file.readAll().toStdString()
                                                                : "");
}

inline void addJsonRows(const char* path, const char* list) {
    QTest::addColumn<QByteArray>("entry");
    const nlohmann::json file = jsonFile(path);
    for (const nlohmann::json& entry : file.at(list))
        QTest::newRow(entry.value("name", entry.dump()).c_str())
            << QByteArray::fromStdString(entry.dump());
}

inline nlohmann::json fetchedJsonRow() {
    QFETCH(QByteArray, entry);
    return nlohmann::json::parse(entry.toStdString());
}
