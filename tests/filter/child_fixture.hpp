// A bus filter over a scripted bus whose children are scripted physical device objects, each
// answering the bus interface query with an interface onto a configuration space held here.
#pragma once

#include "bus_fixture.hpp"
#include <nt/variable_length.hpp>

#include <array>
#include <cstring>
#include <deque>
#include <map>

namespace hotp::test {

struct FakeFunction {
    std::array<uint8_t, 256> config{};
    int references = 0;
    int getCalls = 0, setCalls = 0;
    std::deque<ULONG> shortAnswers;  // byte counts the next transfers return instead
    std::vector<std::pair<ULONG, ULONG>> writes;  // offset, length, of every write tried

    void set16(unsigned offset, uint16_t v) { std::memcpy(&config[offset], &v, 2); }
    uint16_t get16(unsigned offset) const
    {
        uint16_t v;
        std::memcpy(&v, &config[offset], 2);
        return v;
    }
    static FakeFunction* of(PVOID context) { return static_cast<FakeFunction*>(context); }

    static ULONG NTAPI get(PVOID context, ULONG, PVOID buffer, ULONG offset, ULONG length)
    {
        FakeFunction* f = of(context);
        ++f->getCalls;
        // A short transfer moves nothing, as a bus interface that cannot reach the device.
        const ULONG n = f->answer(length);
        if (n == length) std::memcpy(buffer, &f->config[offset], length);
        return n;
    }
    static ULONG NTAPI set(PVOID context, ULONG, PVOID buffer, ULONG offset, ULONG length)
    {
        FakeFunction* f = of(context);
        ++f->setCalls;
        f->writes.push_back({offset, length});
        const ULONG n = f->answer(length);
        if (n == length) std::memcpy(&f->config[offset], buffer, length);
        return n;
    }
    static VOID NTAPI reference(PVOID context) { ++of(context)->references; }
    static VOID NTAPI dereference(PVOID context) { --of(context)->references; }

    ULONG answer(ULONG length)
    {
        if (shortAnswers.empty()) return length;
        ULONG n = shortAnswers.front();
        shortAnswers.pop_front();
        return n;
    }
};

class ChildFilterTest : public BusFilterTest {
protected:
    void SetUp() override
    {
        addBusFilter();
        lower->onRequest = [this](PIRP irp, PIO_STACK_LOCATION s) { answer(irp, s); };
    }

    void releasePlatform() override
    {
        // Children go first, as the PnP manager removes them, then the bus filter.
        for (PDEVICE_OBJECT child : children) {
            if (child->AttachedDevice != nullptr) {
                IoFreeIrp(sendRequest(kernel, child, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).irp);
            }
        }
        if (bus != nullptr && kernel.isLiveDevice(filter)) removeBusFilter();
        for (auto& [device, fake] : fakes) {
            EXPECT_EQ(fake.references, 0) << "bus interface references left";
        }
        BusFilterTest::releasePlatform();
    }

    // A new child physical device object with a configuration space.
    PDEVICE_OBJECT newChild(uint8_t baseClass, uint8_t subClass, uint16_t command)
    {
        PDEVICE_OBJECT child = lower->createDevice();
        FakeFunction& f = fakes[child];
        f.set16(0x00, 0x1AB0);
        f.set16(0x02, static_cast<uint16_t>(0x1000 + children.size()));
        f.set16(0x04, command);
        f.config[0x0A] = subClass;
        f.config[0x0B] = baseClass;
        children.push_back(child);
        return child;
    }

    // Sends a bus relations query listing `listed`; returns the status the PnP manager sees.
    NTSTATUS queryRelations(const std::vector<PDEVICE_OBJECT>& listed, bool nullList = false)
    {
        relations = listed;
        returnNullList = nullList;
        auto sent = sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                                [](PIO_STACK_LOCATION s) {
                                    s->Parameters.QueryDeviceRelations.Type = BusRelations;
                                });
        NTSTATUS status = sent.irp->IoStatus.Status;
        if (sent.irp->IoStatus.Information != 0) {
            ExFreePool(reinterpret_cast<PVOID>(sent.irp->IoStatus.Information));
        }
        IoFreeIrp(sent.irp);
        return status;
    }

    std::vector<HOTP_CHILD_EXTENSION*> listedRecords() const
    {
        std::vector<HOTP_CHILD_EXTENSION*> out;
        for (auto* c = bus->ChildListHead; c != nullptr; c = c->NextChild) out.push_back(c);
        return out;
    }

    HOTP_CHILD_EXTENSION* recordOf(PDEVICE_OBJECT child) const
    {
        for (auto* c = bus->ChildListHead; c != nullptr; c = c->NextChild) {
            if (c->Pdo == child) return c;
        }
        return nullptr;
    }

    std::map<PDEVICE_OBJECT, FakeFunction> fakes;
    std::vector<PDEVICE_OBJECT> children;
    std::vector<PDEVICE_OBJECT> relations;
    bool returnNullList = false;
    bool refuseInterface = false;
    bool pendInterface = false;

private:
    void answer(PIRP irp, PIO_STACK_LOCATION s)
    {
        if (s->MajorFunction != IRP_MJ_PNP) return;
        if (s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS && s->DeviceObject == pdo &&
            s->Parameters.QueryDeviceRelations.Type == BusRelations) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            if (returnNullList) return;
            size_t bytes = offsetof(DEVICE_RELATIONS, Objects) +
                           (relations.empty() ? 1 : relations.size()) * sizeof(PDEVICE_OBJECT);
            auto* list = static_cast<PDEVICE_RELATIONS>(kernel.allocatePool(PagedPool, bytes, 0x74736554, false));
            list->Count = static_cast<ULONG>(relations.size());
            for (size_t i = 0; i < relations.size(); ++i) *nt::objectAt(list, i) = relations[i];
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
        }
        if (s->MinorFunction == IRP_MN_QUERY_INTERFACE && !refuseInterface) {
            auto it = fakes.find(s->DeviceObject);
            if (it == fakes.end()) return;
            auto* iface = reinterpret_cast<PBUS_INTERFACE_STANDARD>(s->Parameters.QueryInterface.Interface);
            iface->Size = sizeof(BUS_INTERFACE_STANDARD);
            iface->Version = 1;
            iface->Context = &it->second;
            iface->InterfaceReference = FakeFunction::reference;
            iface->InterfaceDereference = FakeFunction::dereference;
            iface->GetBusData = FakeFunction::get;
            iface->SetBusData = FakeFunction::set;
            ++it->second.references;
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
    }
};

}  // namespace hotp::test
