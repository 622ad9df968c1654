package scan;

import com.google.common.reflect.ClassPath;

/** Scans the class path the way plugin registries built on Guava do. */
public class ScanMain {
    public static void main(String[] args) throws Exception {
        ClassPath cp = ClassPath.from(ScanMain.class.getClassLoader());
        int base = cp.getTopLevelClasses("com.google.common.base").size();
        boolean self = false;
        for (ClassPath.ClassInfo info : cp.getTopLevelClasses("scan")) {
            self |= info.getName().equals("scan.ScanMain");
        }
        System.out.println("com.google.common.base top-level classes: " + base);
        System.out.println("own class found: " + self);
        if (base == 0 || !self) {
            System.exit(3);
        }
    }
}
