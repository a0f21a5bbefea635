// Invariants of the scalar registration table that a new or edited row could
// break: the walk order depends on them.
#include "agent/mib_tree.h"

#include <QSet>
#include <QTest>

#include <utility>

class MibTreeTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void namesUniqueAndFourWritable();
    void registeredInOidOrder();
};

void MibTreeTest::namesUniqueAndFourWritable()
{
    QSet<QByteArray> names;
    QSet<QByteArray> writable;
    for (const ScalarObject &object : scalarObjects) {
        names.insert(object.name);
        if (object.writable)
            writable.insert(object.name);
    }
    QCOMPARE(names.size(), qsizetype(scalarObjects.size()));
    QCOMPARE(writable, (QSet<QByteArray>{"deviceUserDesc", "deviceMode", "deviceReset", "channelReset"}));
}

void MibTreeTest::registeredInOidOrder()
{
    for (size_t i = 1; i < scalarObjects.size(); ++i) {
        const ScalarObject &before = scalarObjects[i - 1];
        const ScalarObject &after = scalarObjects[i];
        QVERIFY2(std::make_pair(before.group, before.member) < std::make_pair(after.group, after.member),
                 after.name);
        // Member 12 of the device group is the Ethernet interface table.
        QVERIFY(!(after.group == 1 && after.member == 12));
    }
}

QTEST_APPLESS_MAIN(MibTreeTest)
#include "tst_mib_tree.moc"
