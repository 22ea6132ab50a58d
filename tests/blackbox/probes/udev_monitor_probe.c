#include <libudev.h>
#include <stdio.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/stat.h>
static void dump(struct udev_device*d){
  printf("  %s syspath=%s sysname=%s subsys=%s devtype=%s devnode=%s\n", udev_device_get_action(d)?udev_device_get_action(d):"-",
    udev_device_get_syspath(d), udev_device_get_sysname(d), udev_device_get_subsystem(d), udev_device_get_devtype(d), udev_device_get_devnode(d));
  const char*a[]={"idVendor","idProduct","busnum","devnum","product","manufacturer","serial","bcdDevice",0};
  for(int i=0;a[i];i++){const char*v=udev_device_get_sysattr_value(d,a[i]); if(v) printf("    %s=[%s]\n",a[i],v);}
  struct udev_device*p=udev_device_get_parent_with_subsystem_devtype(d,"usb","usb_device");
  if(p) printf("    usb parent %s\n", udev_device_get_sysname(p));
  fflush(stdout);
}
int main(int argc,char**argv){
  struct udev*u=udev_new();
  struct udev_monitor*m=udev_monitor_new_from_netlink(u,"udev");
  udev_monitor_filter_add_match_subsystem_devtype(m,"usb","usb_device");
  udev_monitor_filter_add_match_subsystem_devtype(m,"hidraw",NULL);
  int r=udev_monitor_enable_receiving(m);
  printf("monitor enable %d fd %d\n",r,udev_monitor_get_fd(m));
  struct udev_enumerate*e=udev_enumerate_new(u);
  udev_enumerate_add_match_subsystem(e,argc>1?argv[1]:"usb");
  udev_enumerate_scan_devices(e);
  struct udev_list_entry*le;
  udev_list_entry_foreach(le,udev_enumerate_get_list_entry(e)){
    struct udev_device*d=udev_device_new_from_syspath(u,udev_list_entry_get_name(le));
    dump(d); udev_device_unref(d);
  }
  printf("READY\n");fflush(stdout);
  int fd=udev_monitor_get_fd(m);
  for(;;){
    struct pollfd p={fd,POLLIN,0};
    int n=poll(&p,1,4000);
    if(n<=0){printf("monitor timeout\n");break;}
    struct udev_device*d=udev_monitor_receive_device(m);
    if(!d){printf("receive null\n");continue;}
    dump(d); udev_device_unref(d);
  }
  return 0;
}
