# `make wine-check`: the shipped image under Wine's kernel, driven by the test bus driver of
# wine/testbus, held to the configuration writes hotpsim reports for the same machine and flows.
# Not part of `make test`: it installs Wine (wine/install-deps.sh), and plays the flows once with
# the shipped image and once with each planted copy (filter/CMakeLists.txt), which it must catch.
WINE_BUILD := build/wine
WINE_MACHINE ?= platform/machine/data/default_machine.toml
WINE_FLOWS ?= wine/flows.toml
WINE_CC := i686-w64-mingw32-gcc
# Wine's own headers, not the cross toolchain's: the structures the test bus driver shares with
# the image come from a second source. Only the compiler's own freestanding headers are added.
WINE_INCLUDE := /usr/include/wine/wine
WINE_CFLAGS = -nostdinc -isystem $(WINE_INCLUDE)/msvcrt -isystem $(WINE_INCLUDE)/windows \
    -isystem $(shell $(WINE_CC) -print-file-name=include) -ffreestanding -O2 -std=gnu11 \
    -Wall -Wextra -Werror -Wno-unused-parameter -mno-stack-arg-probe -mgeneral-regs-only \
    -fno-asynchronous-unwind-tables -Iwine/testbus
WINE_LDFLAGS := -nostdlib -shared -Wl,--subsystem,native:5.0 -Wl,--entry,_DriverEntry@8 \
    -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000

.PHONY: wine-deps wine-table wine-check

wine-deps: deps
	@./wine/install-deps.sh

# The machine table is written by a host tool from the machine and flow files, each time (the
# hardware model it reads may have changed); the file is replaced only when its contents change.
wine-table: | build/host64/Makefile
	@mkdir -p $(WINE_BUILD)
	@cmake --build build/host64 -j $(JOBS) --target hotp_wine_machine hotpsim > $(WINE_BUILD)/host-build.log 2>&1 || \
	    { cat $(WINE_BUILD)/host-build.log; exit 1; }
	@build/host64/bin/hotp_wine_machine $(WINE_MACHINE) $(WINE_FLOWS) $(WINE_BUILD)/machine_table.c.new
	@cmp -s $(WINE_BUILD)/machine_table.c.new $(WINE_BUILD)/machine_table.c || \
	    mv $(WINE_BUILD)/machine_table.c.new $(WINE_BUILD)/machine_table.c
	@rm -f $(WINE_BUILD)/machine_table.c.new

$(WINE_BUILD)/hotptbus.sys: wine/testbus/testbus.c wine/testbus/machine_table.h $(WINE_BUILD)/machine_table.c
	@$(WINE_CC) $(WINE_CFLAGS) $(WINE_LDFLAGS) -o $@ wine/testbus/testbus.c $(WINE_BUILD)/machine_table.c \
	    -lntoskrnl -lhal -lgcc

WINE_PLANTED := raised_maximum shared_window device_node_offset interface_kept cdecl_completion

wine-check: wine-deps image wine-table
	@cmake --build build/image -j $(JOBS) --target hotpflt_planted > $(WINE_BUILD)/planted-build.log 2>&1 || \
	    { cat $(WINE_BUILD)/planted-build.log; exit 1; }
	@$(MAKE) --no-print-directory $(WINE_BUILD)/hotptbus.sys
	@/usr/bin/python3 wine/check.py --hotpsim build/host64/bin/hotpsim --image build/image/hotpflt.sys \
	    --testbus $(WINE_BUILD)/hotptbus.sys --machine $(WINE_MACHINE) --flows $(WINE_FLOWS) \
	    --work $(WINE_BUILD) --planted $(foreach f,$(WINE_PLANTED),$(f)=build/image/planted/$(f)/hotpflt.sys)
