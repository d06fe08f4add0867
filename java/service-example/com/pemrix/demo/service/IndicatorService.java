package com.pemrix.demo.service;

import com.norvane.guinative.DesktopIndicator;
import com.norvane.guinative.Win32Util;

/**
 * A main class that shows a desktop indicator and leaves it shown: Stop does not hide it, so
 * the library's indicator thread is still running when the virtual machine is destroyed.
 */
public final class IndicatorService {
    private IndicatorService() {}

    public static void main(String[] args) {
        ServiceEvents.recordStart(IndicatorService.class.getName(), args);
        new DesktopIndicator(0, "service").show();
        long window = 0;
        while (window == 0) {
            window = Win32Util.findWindow("PemrixBackupWindowClass", "PemrixBackupWindow");
            Thread.onSpinWait();
        }
        ServiceEvents.record("indicator window " + window);
    }

    public static void Stop() {
        ServiceEvents.record("Stop with the indicator still shown");
    }
}
