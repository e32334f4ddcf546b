// The Save button: the account ID and the PIN go to the device as the records
// rp.psnid and rp.pin; the six save arrows show how far it got.
#include <QDebug>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

#include "account/AccountRecords.h"
#include "common/LogRedaction.h"
#include "device/AccessoryIds.h"
#include "ui/MainWindow.h"
#include "ui/Messages.h"
#include "ui/StyleSheets.h"

namespace {

struct RecordField {
    const char *name;
    const char *label; // how the message to the user calls it
    QByteArray value;
    int firstStep; // the record lights arrows firstStep .. firstStep + 2
};

using records::WriteOutcome;

WriteOutcome writeRecord(MainWindow &window, const RecordField &field) {
    return records::writeRecord(window.deviceChannel(), window.currentPid, field.name, field.value);
}

QString tooLongMessage(const RecordField &field) {
    return QStringLiteral("The %1 is too long for the device (at most %2 characters).")
        .arg(QLatin1String(field.label))
        .arg(kMaxRecordValueLength);
}

// Names the stored records an empty field would clear; empty when none.
QString clearedRecords(const RecordField (&fields)[2]) {
    QStringList cleared;
    for (const RecordField &field : fields) {
        if (field.value.isEmpty())
            cleared << QStringLiteral("the %1 (%2)")
                           .arg(QLatin1String(field.label), QLatin1String(field.name));
    }
    return cleared.join(QLatin1String(" and "));
}

// The fields are emptied without the user clearing them (a Paste press, a
// device that could not be read), so an empty one is more often an accident
// than a wish to erase the stored value: it is confirmed first, No by default.
bool confirmClearing(QWidget *parent, const QString &records) {
    const QString text = QStringLiteral("Save would clear %1 stored in the device, because the "
                                        "field is empty. Clear it?")
                             .arg(records);
    return messages::question(parent, QStringLiteral("Warning"), text,
                              QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) == QMessageBox::Yes;
}

void logSaveStep(int step) {
    qDebug("Enter slotShowRunUpdateSaveDataProcess step:%d", step);
}

void lightSaveArrow(MainWindow &window, int step) {
    logSaveStep(step);
    if (step >= 1 && step <= int(window.saveArrows.size()))
        window.saveArrows[step - 1]->setStyleSheet(QString::fromUtf8(styles::kArrowLit));
}

} // namespace

void MainWindow::slotPushButtonRunSaveData() {
    LogRedaction::notePrivate(LogRedaction::PrivateKind::AccountId, editPsnId->text());
    LogRedaction::notePrivate(LogRedaction::PrivateKind::Pin, editPin->text());
    if (refuseWhileDeviceBusy())
        return;
    // The running Paste empties the account-ID field and fills it later.
    if (pasteInProgress()) {
        showWarning(this, QStringLiteral("Paste is still looking up the account ID; please Save "
                                         "when it has finished."));
        return;
    }
    if (!identifiedForSave())
        return;
    const RecordField fields[] = {
        {accessory::kAccountIdRecord, "account ID", report::encodeRecordValue(editPsnId->text()),
         1},
        {accessory::kPinRecord, "PIN", report::encodeRecordValue(editPin->text()), 4},
    };
    for (const RecordField &field : fields) {
        if (field.value.size() > kMaxRecordValueLength) {
            showWarning(this, tooLongMessage(field));
            return;
        }
    }
    const QString cleared = clearedRecords(fields);
    if (!cleared.isEmpty() && !confirmClearing(this, cleared))
        return;
    if (!lockDevice())
        return;
    // The arrows are not dimmed first: they only ever go from unlit to lit, and
    // a failed record is told by the warning below.
    QStringList failures;
    for (const RecordField &field : fields) {
        const WriteOutcome outcome = writeRecord(*this, field);
        if (outcome != WriteOutcome::Acknowledged) {
            failures << records::notSavedMessage(field.label, field.name, outcome);
            continue;
        }
        for (int step = field.firstStep; step < field.firstStep + 3; ++step) {
            // The success box belongs to the last step only when nothing failed.
            if (step == 6 && !failures.isEmpty())
                lightSaveArrow(*this, step);
            else
                slotShowRunUpdateSaveDataProcess(step);
        }
    }
    unlockDevice();
    if (!failures.isEmpty())
        showWarning(this, failures.join(QLatin1Char('\n')));
}

// Save writes both fields, so it needs to know what the accessory holds: when
// its records were not read, they are read afresh first. Fields the user has
// filled in meanwhile keep the user's text; empty ones take the records read,
// so an unread record is never overwritten with an empty one. When that
// identification fails, or another program holds the accessory, the fields
// get back exactly what they held: a pasted ID must never need a new sign-in.
bool MainWindow::identifiedForSave() {
    if (!hidHandle || deviceIdentified)
        return deviceReadyForAction();
    const QString psnId = editPsnId->text();
    const QString pin = editPin->text();
    const bool identified = identifiedForDeviceAction();
    if (!psnId.isEmpty() || !identified)
        editPsnId->setText(psnId);
    if (!pin.isEmpty() || !identified)
        editPin->setText(pin);
    return identified;
}

void MainWindow::slotShowRunUpdateSaveDataProcess(int step) {
    if (isStepOfStoppedJob()) {
        logSaveStep(step);
        return;
    }
    lightSaveArrow(*this, step);
    if (step == 6)
        messages::information(this, QStringLiteral("Success"),
                              QStringLiteral("Save data successfully!"), QMessageBox::Ok,
                              QMessageBox::NoButton);
}
