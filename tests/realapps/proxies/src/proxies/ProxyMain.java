package proxies;

import static org.mockito.Mockito.*;

import java.util.List;

/**
 * Bytecode libraries that define classes in the application's class loader:
 * Mockito's mocks (Byte Buddy subclasses), a cglib proxy, a javassist proxy
 * and a class javassist reads back from the loader as bytes, and a Byte Buddy
 * class injected next to the application's classes.
 */
public class ProxyMain {
    public static class Service {
        public String name(int i) {
            return "real " + i;
        }
    }

    public interface Greeter {
        String greet(String who);
    }

    public static void main(String[] args) throws Exception {
        ClassLoader app = ProxyMain.class.getClassLoader();

        Service mocked = mock(Service.class);
        when(mocked.name(3)).thenReturn("mocked");
        System.out.println("mockito: " + mocked.name(3) + ", " + mocked.name(4) + ", same loader "
                + (mocked.getClass().getClassLoader() == app));
        verify(mocked).name(3);
        Greeter greeter = mock(Greeter.class);
        when(greeter.greet(anyString())).thenAnswer(call -> "hello " + call.getArgument(0));
        @SuppressWarnings("unchecked")
        List<String> list = mock(List.class);
        when(list.size()).thenReturn(5);
        System.out.println("mockito: " + greeter.greet("you") + ", size " + list.size());

        net.sf.cglib.proxy.Enhancer enhancer = new net.sf.cglib.proxy.Enhancer();
        enhancer.setSuperclass(Service.class);
        enhancer.setCallback((net.sf.cglib.proxy.MethodInterceptor) (self, method, arguments,
                proxy) -> "cglib(" + proxy.invokeSuper(self, arguments) + ")");
        Service viaCglib = (Service) enhancer.create();
        System.out.println(viaCglib.name(7) + ", same loader " + (viaCglib.getClass().getClassLoader() == app));

        javassist.util.proxy.ProxyFactory factory = new javassist.util.proxy.ProxyFactory();
        factory.setSuperclass(Service.class);
        Service viaJavassist = (Service) factory.create(new Class<?>[0], new Object[0],
                (self, method, proceed, arguments) -> "javassist(" + proceed.invoke(self, arguments) + ")");
        System.out.println(viaJavassist.name(8));
        javassist.ClassPool pool = new javassist.ClassPool(true);
        pool.appendClassPath(new javassist.LoaderClassPath(app));
        javassist.CtClass read = pool.get(Service.class.getName());
        System.out.println("javassist read " + read.getName() + ": " + read.getDeclaredMethods().length + " method, "
                + read.toBytecode().length + " bytes");

        Class<?> injected = new net.bytebuddy.ByteBuddy().subclass(Object.class).name("proxies.Injected")
                .method(net.bytebuddy.matcher.ElementMatchers.named("toString"))
                .intercept(net.bytebuddy.implementation.FixedValue.value("injected by byte buddy")).make()
                .load(app, net.bytebuddy.dynamic.loading.ClassLoadingStrategy.Default.INJECTION).getLoaded();
        System.out.println(injected.getDeclaredConstructor().newInstance() + ", same loader "
                + (injected.getClassLoader() == app) + ", found by name " + (Class.forName("proxies.Injected") == injected));
    }
}
