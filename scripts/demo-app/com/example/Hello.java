package com.example;

/**
 * The demo application: greets, shows where it runs and what it was given.
 * With "--serve" it then keeps running (at most a minute), as a service
 * does, until it is stopped.
 */
public class Hello {
    public static void main(String[] args) throws InterruptedException {
        System.out.println("Hello from a Vantrel launcher!");
        System.out.println("  Java " + System.getProperty("java.version") + " (" + System.getProperty("java.vendor") + ")");
        System.out.println("  launcher: " + System.getProperty("vantrel.exe.path"));
        System.out.println("  arguments: " + String.join(" | ", args));
        if (args.length > 0 && args[0].equals("--serve")) {
            System.out.println("  serving as " + System.getProperty("vantrel.service.name") + " until stopped");
            Thread.sleep(60000);
        }
    }
}
