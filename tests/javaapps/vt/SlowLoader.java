package vt;

/**
 * A system class loader (-Djava.system.class.loader=vt.SlowLoader) that
 * makes the VM's creation last -Dapp.createms milliseconds longer: the VM
 * makes it while JNI_CreateJavaVM runs.
 */
public class SlowLoader extends ClassLoader {
    public SlowLoader(ClassLoader parent) throws InterruptedException {
        super(parent);
        Thread.sleep(Long.getLong("app.createms", 0));
    }
}
